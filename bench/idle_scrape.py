#!/usr/bin/env python3
# Scrape latency of qavd's metrics while 0, 20 and 500 idle connections are held open,
# and the time from SIGTERM to its exit, against the simulator on free loopback ports.
# usage: bench/idle_scrape.py [BUILD_DIR]
import re
import socket
import statistics
import subprocess
import sys
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build/ci"


def reported_port(process, pattern):
    """The port a child names on its standard error."""
    for line in process.stderr:
        found = re.search(pattern, line)
        if found:
            return int(found.group(1))
    raise SystemExit("no port reported")


def scrape(port, timeout=120):
    """Seconds for one GET /metrics on a new connection, and the status line."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n")
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    return time.monotonic() - start, data.split(b"\r\n", 1)[0].decode()


sim = subprocess.Popen([f"{build}/battery_sim", "--port", "0"], stderr=subprocess.PIPE, text=True)
sim_port = reported_port(sim, r"serving tcp 127.0.0.1:(\d+)")
qavd = subprocess.Popen([f"{build}/qavd", "-a", f"tcp:127.0.0.1:{sim_port}", "-n", "bench", "-i", "0.1", "-t",
                         "0.09", "--output", "none", "--metrics-listen", "127.0.0.1:0"],
                        stderr=subprocess.PIPE, text=True)
port = reported_port(qavd, r"listening on 127.0.0.1:(\d+)")
time.sleep(1)
for idle_count in (0, 20, 500):
    idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(idle_count)]
    time.sleep(0.5)
    try:
        times = []
        for _ in range(5 if idle_count else 20):
            seconds, status = scrape(port)
            times.append(seconds)
        print(f"{idle_count} idle: median {statistics.median(times) * 1000:.2f} ms, "
              f"longest {max(times) * 1000:.2f} ms ({status})")
    except OSError as error:
        print(f"{idle_count} idle: scrape failed: {error}")
    for s in idle:
        s.close()
start = time.monotonic()
qavd.terminate()
qavd.wait()
print(f"exit {(time.monotonic() - start) * 1000:.0f} ms after SIGTERM, status {qavd.returncode}")
sim.terminate()
