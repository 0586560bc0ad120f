#!/usr/bin/env python3
# qavd's servers under slow and guessing clients, against the simulator: upsc's latency while 64
# NUT clients from 4 addresses trickle a byte a second, scrape latency while 768 HTTP clients
# from 3 addresses trickle a header byte every 3 s, and password checks per second from one
# address; then the primary's login time while 64 sessions of a secondary user from 8 addresses
# hold every slot, and password checks per second for one user name from addresses never used
# before (the right password each time: an OK is a check made). Needs loopback addresses in
# 127.0.0.0/8 (run it under a network namespace of its own).
# usage: bench/slow_clients.py [BUILD_DIR] [passwords|users]   (only the password figure, or only
# the last two)
import os
import re
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build/ci"
only_passwords = sys.argv[2:] == ["passwords"]
only_users = sys.argv[2:] == ["users"]
resource.setrlimit(resource.RLIMIT_NOFILE, (4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
work = tempfile.mkdtemp(prefix="qav-slow-bench.")
with open(f"{work}/users", "w") as users:
    users.write("[mon]\n  password = monpass\n  upsmon primary\n[sec]\n  password = secpass\n  upsmon secondary\n")
os.chmod(f"{work}/users", 0o600)


def reported_port(process, pattern):
    """The port a child names on its standard error."""
    for line in process.stderr:
        found = re.search(pattern, line)
        if found:
            return int(found.group(1))
    raise SystemExit("no port reported")


def trickle(port, addresses, count, every, stop):
    """count connections spread over addresses, each sending a byte of a request every `every` s."""
    conns = []
    for i in range(count):
        s = socket.socket()
        s.bind((addresses[i % len(addresses)], 0))
        s.connect(("127.0.0.1", port))
        conns.append(s)
    text = b"GET /metrics HTTP/1.1\r\nHost: bench\r\nX-Slow: " + b"a" * 200
    tick = 0
    while not stop.wait(every):
        for s in conns:
            try:
                s.send(text[tick:tick + 1])
            except OSError:
                pass
        tick += 1
    for s in conns:
        s.close()


def timed(action, n):
    """Median and longest seconds of n runs of action, and its last result."""
    times, result = [], None
    for _ in range(n):
        start = time.monotonic()
        result = action()
        times.append(time.monotonic() - start)
        time.sleep(0.5)
    return statistics.median(times), max(times), result


def upsc(port):
    run = subprocess.run(["upsc", f"bench@127.0.0.1:{port}", "ups.status"], capture_output=True, text=True, timeout=60)
    return run.stdout.strip() or run.stderr.strip().splitlines()[-1]


def scrape(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n")
            return s.recv(100).split(b"\r\n", 1)[0].decode()
    except OSError as error:
        return str(error)


def checks(port, seconds):
    """Wrong-password LOGINs answered from 127.0.0.2 in seconds, one connection each."""
    n, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        with socket.socket() as s:
            # The port is chosen at connect, so thousands of closed connections do not exhaust them.
            s.setsockopt(socket.IPPROTO_IP, 24, 1)  # IP_BIND_ADDRESS_NO_PORT
            s.bind(("127.0.0.2", 0))
            s.connect(("127.0.0.1", port))
            s.sendall(f"USERNAME mon\nPASSWORD guess{n}\nLOGIN bench\n".encode())
            reply = b""
            while reply.count(b"\n") < 3:
                reply += s.recv(100)
        n += 1
    return n


def login(port, user, password, source="127.0.0.1"):
    """A connection from source that sent USERNAME, PASSWORD and LOGIN; it and LOGIN's reply."""
    s = socket.socket()
    s.setsockopt(socket.IPPROTO_IP, 24, 1)  # IP_BIND_ADDRESS_NO_PORT
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    s.settimeout(10)
    s.sendall(f"USERNAME {user}\nPASSWORD {password}\nLOGIN bench\n".encode())
    reply = b""
    try:
        while reply.count(b"\n") < 3:
            more = s.recv(100)
            if not more:
                break
            reply += more
    except OSError:
        pass
    lines = reply.decode().splitlines()
    return s, lines[2] if len(lines) > 2 else "closed after %d replies" % len(lines)


def primary_under_held(port, runs):
    """The primary's login times (connect to LOGIN's reply) while 64 secondary sessions are held."""
    held = [login(port, "sec", "secpass", f"127.0.0.{2 + i // 8}")[0] for i in range(64)]
    times, replies = [], {}
    for run in range(runs):
        start = time.monotonic()
        s, reply = login(port, "mon", "monpass")
        times.append(time.monotonic() - start)
        replies[reply] = replies.get(reply, 0) + 1
        s.close()
        # Make good the session that made room, if one did.
        held.append(login(port, "sec", "secpass", f"127.0.0.{10 + run // 8}")[0])
        time.sleep(0.05)
    for s in held:
        s.close()
    return statistics.median(times), max(times), replies


def fresh_checks(port, seconds):
    """LOGINs with the right password, each from a loopback address not used before, for seconds:
    how many were sent and how many answered OK (checked)."""
    sent = ok = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        s, reply = login(port, "mon", "monpass", f"127.1.{sent // 250 % 250}.{1 + sent % 250}")
        s.close()
        sent += 1
        ok += reply == "OK"
    return sent, ok


sim = subprocess.Popen([f"{build}/battery_sim", "--port", "0"], stderr=subprocess.PIPE, text=True)
sim_port = reported_port(sim, r"serving tcp 127.0.0.1:(\d+)")
log = []
qavd = subprocess.Popen([f"{build}/qavd", "-a", f"tcp:127.0.0.1:{sim_port}", "-n", "bench", "-i", "0.1", "-t",
                         "0.09", "--output", "none", "--metrics-listen", "127.0.0.1:0", "--nut-listen",
                         "127.0.0.1:0", "--nut-users", f"{work}/users"], stderr=subprocess.PIPE, text=True)
http_port = reported_port(qavd, r"HTTP server listening on 127.0.0.1:(\d+)")
nut_port = reported_port(qavd, r"NUT server listening on 127.0.0.1:(\d+)")
threading.Thread(target=lambda: log.extend(qavd.stderr), daemon=True).start()
time.sleep(1)
if only_users:
    median, longest, replies = primary_under_held(nut_port, 20)
    print("primary's LOGIN, 64 secondary sessions held: median %.2f ms, longest %.2f ms, replies %s" %
          (median * 1000, longest * 1000, replies))
    sent, ok = fresh_checks(nut_port, 10)
    print(f"right password from {sent} new addresses in 10 s: {ok} checked ({ok / 10:.1f} a second)")
if not only_passwords and not only_users:
    print("upsc alone: median %.3f s, longest %.3f s (%s)" % timed(lambda: upsc(nut_port), 5))
    stop = threading.Event()
    load = threading.Thread(target=trickle, args=(nut_port, ["127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"], 64, 1, stop))
    load.start()
    time.sleep(2)
    print("upsc, 64 trickling NUT clients from 4 addresses: median %.3f s, longest %.3f s (%s)" % timed(lambda: upsc(nut_port), 10))
    stop.set()
    load.join()
    print("scrape alone: median %.4f s, longest %.4f s (%s)" % timed(lambda: scrape(http_port), 5))
    stop = threading.Event()
    load = threading.Thread(target=trickle, args=(http_port, ["127.0.0.2", "127.0.0.3", "127.0.0.4"], 768, 3, stop))
    load.start()
    time.sleep(4)
    print("scrape, 768 trickling HTTP clients from 3 addresses: median %.4f s, longest %.4f s (%s)" %
          timed(lambda: scrape(http_port), 20))
    stop.set()
    load.join()
    time.sleep(1)
# The server logs 20 lines a minute; wait for a fresh minute, so that every check's line comes through.
if not only_users:
    time.sleep(0 if only_passwords else 60)
    start = len(log)
    n = checks(nut_port, 10)
    time.sleep(0.5)
    checked = sum(1 for line in log[start:] if "LOGIN refused for user mon: wrong password" in line)
    print(f"passwords from one address: {n / 10:.0f} LOGINs answered per second, {checked} checked in 10 s")
    print("".join(line for line in log[start:] if "failures in a row" in line), end="")
qavd.terminate()
qavd.wait()
sim.terminate()
shutil.rmtree(work)
