#!/usr/bin/python3 -u
"""Figures of qavd's page against the simulator on free loopback ports:
  - page weight: the page and the files it loads, without the chart library;
  - time from loading the page to values shown, headless Chromium, new profile and cached;
  - /api/v1/state latency at 10 requests a second while qavd polls every 0.1 s;
  - /api/v1/history of a full day: time and bytes (qavd's clock sped up 500 times by
    libfaketime, polling every 2.5 s into 5 s buckets, so the ring fills in about 3 minutes);
  - resident memory (VmRSS, VmHWM) of that qavd after the history requests, beside qavd with
    --metrics-listen alone and without HTTP, each polling the same way for 20 s.
usage: bench/page_bench.py [BUILD_DIR]   (default build/ci)"""
import glob
import http.client
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "ci"))
FAKETIME = (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + [None])[0]
# Records when the state of charge first shows, in milliseconds from the start of navigation.
SHOWN = """(function check() {
  const soc = document.getElementById('soc');
  if (soc && soc.textContent.endsWith('%')) window.qavShownAt = performance.now();
  else requestAnimationFrame(check);
})();"""


def start(args, env=None, pattern=None):
    """Start a program; with a pattern, wait for it on standard error and return its match too."""
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
    match = None
    for line in process.stderr if pattern else []:
        match = re.search(pattern, line)
        if match:
            break
    threading.Thread(target=process.stderr.read, daemon=True).start()
    if pattern and not match:
        sys.exit(f"page_bench.py: {args[0]} did not start")
    return process, match


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(rf"^{field}:\s+(\d+) kB", status.read(), re.M).group(1))


def get(port, path, keep=None):
    """GET path; returns (seconds, body)."""
    connection = keep or http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    began = time.perf_counter()
    connection.request("GET", path)
    body = connection.getresponse().read()
    took = time.perf_counter() - began
    if keep is None:
        connection.close()
    return took, body


def qavd(sim_port, interval, timeout, extra, env=None):
    args = [f"{BUILD}/qavd", "-a", f"tcp:127.0.0.1:{sim_port}", "-n", "bench", "-i", interval, "-t", timeout,
            "--output", "none"] + extra
    pattern = r"HTTP server listening on 127\.0\.0\.1:(\d+)" if extra else None
    process, match = start(args, env, pattern)
    return process, int(match.group(1)) if extra else 0


def browser_figures(port, work):
    options = webdriver.ChromeOptions()
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1280,1000", f"--user-data-dir={work}/profile"]:
        options.add_argument(argument)
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": SHOWN})
    shown = []
    try:
        for _ in range(6):
            browser.get(f"http://127.0.0.1:{port}/")
            end = time.monotonic() + 10
            while time.monotonic() < end and browser.execute_script("return window.qavShownAt") is None:
                time.sleep(0.05)
            shown.append(browser.execute_script("return window.qavShownAt"))
    finally:
        browser.quit()
    return shown


def main():
    work = tempfile.mkdtemp(prefix="qav-page-bench.")
    sim, match = start([f"{BUILD}/battery_sim", "--port", "0"], pattern=r"serving tcp 127\.0\.0\.1:(\d+)")
    sim_port = match.group(1)
    running = [sim]
    try:
        # Page weight, load time and state latency, polling every 0.1 s.
        live, port = qavd(sim_port, "0.1", "0.08", ["--http-listen", "127.0.0.1:0"])
        running.append(live)
        time.sleep(1)
        sizes = {path: len(get(port, path)[1]) for path in ["/", "/app.js", "/app.css", "/icon.svg"]}
        print(f"page weight without the chart library: {sum(sizes.values())} bytes {sizes}; "
              f"chart library {len(get(port, '/chart.js')[1])} bytes")
        shown = browser_figures(port, work)
        print(f"loading to values shown (ms from navigation): new profile {shown[0]:.0f}, "
              f"cached: median {statistics.median(shown[1:]):.0f} of {shown[1:]}")
        for label, keep in [("new connection each", None),
                            ("one kept-alive connection", http.client.HTTPConnection("127.0.0.1", port))]:
            latencies = []
            for _ in range(300):
                latencies.append(get(port, "/api/v1/state", keep)[0] * 1000)
                time.sleep(0.1)
            latencies.sort()
            print(f"/api/v1/state at 10/s while polling at 0.1 s, {label}: median {statistics.median(latencies):.2f} ms, "
                  f"99th percentile {latencies[296]:.2f} ms, most {latencies[-1]:.2f} ms")
        live.kill()
        live.wait()

        if FAKETIME is None:
            sys.exit("page_bench.py: libfaketime is not installed; the day-long figures need it")
        # A day of 2.5 s polls, 500 times as fast.
        began = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(time.time() - 86400))
        fake = {**os.environ, "TZ": "UTC", "LD_PRELOAD": FAKETIME, "FAKETIME": f"@{began} x500"}
        day, port = qavd(sim_port, "2.5", "2", ["--http-listen", "127.0.0.1:0"], fake)
        running.append(day)
        time.sleep(185)
        took, body = [], b""
        for _ in range(5):
            seconds, body = get(port, "/api/v1/history")
            took.append(seconds * 1000)
        points = body.count(b"],[") + 1
        print(f"/api/v1/history of a full day: {len(body)} bytes, {points} points, "
              f"median {statistics.median(took):.1f} ms of {[round(t, 1) for t in took]}")
        print(f"qavd with the page and a full ring: VmRSS {status_kib(day.pid, 'VmRSS')} KiB, "
              f"VmHWM {status_kib(day.pid, 'VmHWM')} KiB")
        day.kill()
        day.wait()
        for label, extra in [("--metrics-listen alone", ["--metrics-listen", "127.0.0.1:0"]), ("no HTTP", [])]:
            other, _ = qavd(sim_port, "2.5", "2", extra, fake)
            running.append(other)
            time.sleep(20)
            print(f"qavd with {label}: VmRSS {status_kib(other.pid, 'VmRSS')} KiB, "
                  f"VmHWM {status_kib(other.pid, 'VmHWM')} KiB")
            other.kill()
            other.wait()
    finally:
        for process in running:
            process.kill()
            process.wait()


if __name__ == "__main__":
    main()
