#!/usr/bin/python3
"""Take the README's pictures of qavd's page: a site of three simulated batteries, one on
battery, one charging and one resting, polled every 5 s by one qavd with a history
file. qavd's clock is sped up 60 times by libfaketime and the simulators play 60 seconds a
second, so that the charts fill with two hours in about two minutes; headless Chromium draws
the site's overview, then the page of the ageing battery with its Health card, once qavd's
clock has caught up with ours.
usage: tools/page_screenshot.py [BUILD_DIR [OVERVIEW_PNG [BATTERY_PNG]]]
       (default build/dev, doc/page.png and doc/page-battery.png)
Needs chromium, chromium-driver, python3-selenium and libfaketime."""
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "dev"))
OVERVIEW_PNG = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "doc", "page.png"))
BATTERY_PNG = os.path.abspath(sys.argv[3] if len(sys.argv) > 3 else os.path.join(ROOT, "doc", "page-battery.png"))
SPEED = 60
SHOT_AT = 130  # seconds after qavd starts, when its clock reaches ours
WIDTH = 1280
SITE = "store-room"
AGEING = "rack2"  # the battery whose page is the second picture

# Each battery's simulator options, in simulated seconds played SPEED times faster (the shots
# come about SHOT_AT * SPEED of them in). rack1, 100 Ah, charged for 110 minutes and is in an
# outage; rack3, 100 Ah, was briefly on battery, charged and rests. rack2 is a small battery,
# cycled hard between a quarter and two thirds under a load that changes every minute: aged
# by 16 cycles at 1 % of its capacity each (so its health is measured falling), with a weak cell.
# No cell comes near the simulator's 4.15 V alert level.
LOAD_STEPS = ", ".join(["60:-15, 60:-35"] * 8)
BATTERIES = {
    "rack1": ["--capacity", "100", "--start-charge", "60", "--profile", "6600:+10, 14400:-30", "--seed", "1"],
    AGEING: ["--capacity", "20", "--start-charge", "65", "--profile", f"{LOAD_STEPS}, 2400:+10",
             "--resistance", "5", "--weak-cell", "5", "--weak-factor", "2.5", "--fade", "100", "--cycles", "16",
             "--seed", "2"],
    "rack3": ["--capacity", "100", "--start-charge", "85", "--profile", "1200:-20, 2400:+10, 14400:0",
              "--seed", "3"],
}
# How far down a page goes: to just below its footer.
FOOTER = "return Math.ceil(document.querySelector('footer').getBoundingClientRect().bottom + window.scrollY + 16)"
RATED = {"rack1": 100, AGEING: 20, "rack3": 100}


def first_line(process, pattern):
    """The first match of pattern in the process's standard error, which is then read on and dropped."""
    for line in process.stderr:
        match = re.search(pattern, line)
        if match:
            threading.Thread(target=process.stderr.read, daemon=True).start()
            return match
    sys.exit(f"page_screenshot.py: {process.args[0]} ended before saying {pattern!r}")


def start_simulators(processes):
    """One simulator per battery on a free loopback port: {name: port}."""
    ports = {}
    for name, options in BATTERIES.items():
        sim = subprocess.Popen([f"{BUILD}/battery_sim", "--port", "0", "--speed", str(SPEED), *options],
                               stderr=subprocess.PIPE, text=True)
        processes.append(sim)
        ports[name] = first_line(sim, r"serving tcp 127\.0\.0\.1:(\d+)").group(1)
    return ports


def write_config(work, ports, installed):
    """The site's configuration: the HTTP server and the history above, a section per battery."""
    lines = [f'name = "{SITE}"', 'interval = "5s"', 'timeout = "2s"', 'output = "none"',
             'http-listen = "127.0.0.1:0"', f'history = "{work}/history/site.db"']
    for name, port in ports.items():
        lines += [f"[{name}]", f'address = "tcp:127.0.0.1:{port}"', f"capacity = {RATED[name]}"]
        if name == AGEING:
            lines.append(f'installed = "{installed}"')
    path = f"{work}/site.conf"
    with open(path, "w", encoding="utf-8") as config:
        config.write("\n".join(lines) + "\n")
    return path


def browser_at(work):
    """Headless Chromium at a desktop's width, with the page tests' flags."""
    options = webdriver.ChromeOptions()
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--no-first-run", "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--hide-scrollbars", f"--window-size={WIDTH},1000",
                     f"--user-data-dir={work}/profile"]:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver", env={**os.environ, "TZ": "UTC"}),
                            options=options)


def shoot(browser, url, png, bottom_script):
    """Load url, wait until the height bottom_script returns holds still, show that much and save png."""
    browser.get(url)
    time.sleep(3)
    height = 0
    for _ in range(20):
        time.sleep(0.5)
        last, height = height, browser.execute_script(bottom_script)
        if height == last:
            break
    # The window's height less its viewport's is the browser's own.
    extra = browser.execute_script("return window.outerHeight - window.innerHeight")
    browser.set_window_size(WIDTH, int(height) + extra)
    time.sleep(1.5)
    os.makedirs(os.path.dirname(png), exist_ok=True)
    browser.save_screenshot(png)
    print(f"page_screenshot.py: {png}, {os.path.getsize(png)} bytes")


def check_site(page, processes):
    """Refuse to take pictures of stale data or of a Health card that has nothing measured yet."""
    ended = [process.args[0] for process in processes if process.poll() is not None]
    if ended:
        sys.exit(f"page_screenshot.py: {', '.join(ended)} ended before the pictures")
    with urllib.request.urlopen(f"http://{page}/api/v1/batteries", timeout=5) as answer:
        stale = [state["battery"] for state in json.load(answer)["batteries"] if not state["fresh"]]
    if stale:
        sys.exit(f"page_screenshot.py: stale before the pictures: {', '.join(stale)}")
    with urllib.request.urlopen(f"http://{page}/api/v1/batteries/{AGEING}/health", timeout=5) as answer:
        health = json.load(answer)
    if len(health["capacity_points"]) < 2 or health["weak_cell"] is None:
        sys.exit(f"page_screenshot.py: {AGEING}'s health has fewer than two capacities or no weak cell yet")


def main():
    faketime = (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + [None])[0]
    if faketime is None:
        sys.exit("page_screenshot.py: libfaketime is not installed (Debian package libfaketime)")
    work = tempfile.mkdtemp(prefix="qav-screenshot.")
    os.makedirs(f"{work}/history")
    processes = []
    try:
        ports = start_simulators(processes)
        started = time.time()
        fake_start = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(started - (SPEED - 1) * SHOT_AT))
        installed = time.strftime("%Y-%m-%d", time.gmtime(started - 2 * 86400))
        env = {**os.environ, "TZ": "UTC", "LD_PRELOAD": faketime, "FAKETIME": f"@{fake_start} x{SPEED}"}
        qavd = subprocess.Popen([f"{BUILD}/qavd", "--config", write_config(work, ports, installed)],
                                stderr=subprocess.PIPE, text=True, env=env)
        processes.append(qavd)
        page = first_line(qavd, r"HTTP server listening on (127\.0\.0\.1:\d+)").group(1)
        browser = browser_at(work)
        try:
            # The pages load the two hours once qavd's clock has caught up with ours.
            time.sleep(max(0, started + SHOT_AT - time.time()))
            check_site(page, processes)
            shoot(browser, f"http://{page}/", OVERVIEW_PNG, FOOTER)
            check_site(page, processes)
            # The ageing battery's whole page: its Health card, then the charts.
            shoot(browser, f"http://{page}/battery/{AGEING}/", BATTERY_PNG, FOOTER)
        finally:
            browser.quit()
    finally:
        for process in processes:
            process.kill()
            process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
