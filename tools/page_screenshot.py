#!/usr/bin/python3
"""Take the README's screenshot of qavd's page: qavd polls the simulator every 5 s, its
clock sped up 60 times by libfaketime so that the charts fill with an hour in about a
minute, and headless Chromium draws the page once qavd's clock has caught up with ours.
usage: tools/page_screenshot.py [BUILD_DIR [PNG]]   (default build/dev and doc/page.png)
Needs chromium, chromium-driver, python3-selenium and libfaketime."""
import glob
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "dev"))
PNG = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "doc", "page.png"))
SPEED = 60
SHOT_AT = 70  # seconds after qavd starts, when its clock reaches ours


def first_line(process, pattern):
    """The first match of pattern in the process's standard error, which is then read on and dropped."""
    for line in process.stderr:
        match = re.search(pattern, line)
        if match:
            threading.Thread(target=process.stderr.read, daemon=True).start()
            return match
    sys.exit(f"page_screenshot.py: {process.args[0]} ended before saying {pattern!r}")


def main():
    faketime = (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + [None])[0]
    if faketime is None:
        sys.exit("page_screenshot.py: libfaketime is not installed (Debian package libfaketime)")
    work = tempfile.mkdtemp(prefix="qav-screenshot.")
    # An alert for a few minutes before the shot, so the events list has something to show.
    sim = subprocess.Popen([f"{BUILD}/battery_sim", "--port", "0", "--temp-alert", "4", "--alarm-from", "600",
                            "--alarm-until", "640"], stderr=subprocess.PIPE, text=True)
    processes = [sim]
    try:
        port = first_line(sim, r"serving tcp 127\.0\.0\.1:(\d+)").group(1)
        started = time.time()
        fake_start = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(started - (SPEED - 1) * SHOT_AT))
        env = {**os.environ, "TZ": "UTC", "LD_PRELOAD": faketime, "FAKETIME": f"@{fake_start} x{SPEED}"}
        qavd = subprocess.Popen([f"{BUILD}/qavd", "-a", f"tcp:127.0.0.1:{port}", "-n", "rack1", "-i", "5", "-t", "2",
                                 "--output", "none", "--http-listen", "127.0.0.1:0"],
                                stderr=subprocess.PIPE, text=True, env=env)
        processes.append(qavd)
        page = first_line(qavd, r"HTTP server listening on (127\.0\.0\.1:\d+)").group(1)

        options = webdriver.ChromeOptions()
        for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--no-first-run", "--disable-background-networking", "--disable-component-update",
                         "--disable-sync", "--hide-scrollbars", "--window-size=1000,900",
                         f"--user-data-dir={work}/profile"]:
            options.add_argument(argument)
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        try:
            # The page loads the hour once qavd's clock has caught up with ours.
            time.sleep(max(0, started + SHOT_AT - time.time()))
            browser.get(f"http://{page}/")
            time.sleep(3)
            height = browser.execute_script("return document.documentElement.scrollHeight")
            browser.set_window_size(1000, height)
            time.sleep(1)
            os.makedirs(os.path.dirname(PNG), exist_ok=True)
            browser.save_screenshot(PNG)
        finally:
            browser.quit()
        print(f"page_screenshot.py: {PNG}, {os.path.getsize(PNG)} bytes")
    finally:
        for process in processes:
            process.kill()
            process.wait()


if __name__ == "__main__":
    main()
