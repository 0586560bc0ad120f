#!/usr/bin/python3
"""qavd's page end to end: the API with a real HTTP client, then the page in headless Chromium,
against one qavd polling the simulator, which replays two known answers in turn.
usage: page_test.py QAVD BATTERY_SIM CHROMIUM CHROMEDRIVER"""
import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

QAVD, SIM, CHROMIUM, CHROMEDRIVER = sys.argv[1:5]

# Discharging with a blown main fuse and a voltage alert; every cell its own voltage.
DISCHARGING = ("2134" "0CE40CF80D0C0CD00D200CE40CE40CE4" "FF9C" "161718191A1B1C1D" "1F" "2D" "05"
               "0000" "0012" "8010" "5A\n")
# Charging, full, healthy; a temperature alert; the fan on.
CHARGING = ("2710" "0FA00FA00FA00FA00FA00FA00FA00FA0" "04E2" "1E1E1E1E1E1E1E1E" "28" "32" "00"
            "0001" "0000" "8408" "77\n")

FLAGS = ["fan", "main_fuse", "safe_operating_area", "overcurrent", "undervoltage", "overvoltage",
         "discharge_mode", "charge_mode", "discharge_transient", "battery_cold_limit",
         "heatsink_hot_limit", "battery_hot_limit", "battery_enable"]


def flags(**set_ones):
    """Each flag's class on the page: fault/good for the nine Fault/Good bits, on/off for the others."""
    on_off = {"fan", "discharge_mode", "charge_mode", "battery_enable"}
    shown = {}
    for name in FLAGS:
        if name in on_off:
            shown[name] = "on" if name in set_ones else "off"
        else:
            shown[name] = "fault" if name in set_ones else "good"
    return shown


# What the page shows for each answer, spelled out by hand.
SHOWN_DISCHARGING = {
    "name": "rack-1", "soc": "85.0 %", "mode": "Discharging", "stack": "26.50 V", "current": "-1.00 A",
    "power": "-26.5 W", "time-left": "8 h 30 min left",  # 85 % of 10 Ah at 1 A
    "cells": ["3.300 V", "3.320 V", "3.340 V", "3.280 V", "3.360 V", "3.300 V", "3.300 V", "3.300 V"],
    "marks": ["", "", "", "lowest", "highest", "", "", ""], "spread": "80 mV",
    "layers": ["29 °C", "28 °C", "27 °C", "26 °C", "25 °C", "24 °C", "23 °C", "22 °C"],
    "hottest": [True] + [False] * 7, "heatsink": "31 °C", "humidity": "45 %",
    "flags": flags(main_fuse=1, battery_enable=1),
    "temp-alert": "none", "volt-alert": "0x0012: bits 1, 4", "balance": "0x05",
}
SHOWN_CHARGING = {
    "name": "rack-1", "soc": "100.0 %", "mode": "Charging", "stack": "32.00 V", "current": "12.50 A",
    "power": "400.0 W", "time-left": "full in under a minute", "cells": ["4.000 V"] * 8, "marks": [""] * 8, "spread": "0 mV",
    "layers": ["30 °C"] * 8, "hottest": [True] * 8, "heatsink": "40 °C", "humidity": "50 %",
    "flags": flags(fan=1, charge_mode=1, battery_enable=1),
    "temp-alert": "0x0001: bit 0", "volt-alert": "none", "balance": "0x00",
}

# Everything the page shows, read from its DOM in one go.
SNAPSHOT = """
const text = (id) => document.getElementById(id).textContent;
const all = (selector) => [...document.querySelectorAll(selector)];
const shown = {};
for (const id of ['name', 'soc', 'mode', 'stack', 'current', 'power', 'time-left', 'spread', 'heatsink',
                  'humidity', 'temp-alert', 'volt-alert', 'balance']) shown[id] = text(id);
shown.cells = all('#cells .reading').map((e) => e.textContent);
shown.marks = all('#cells .mark').map((e) => e.textContent);
shown.layers = all('#layers .reading').map((e) => e.textContent);
shown.hottest = all('#layers li').map((e) => e.classList.contains('hottest'));
shown.flags = Object.fromEntries(all('#flags li').map((e) => [e.dataset.flag, e.className.split(' ')[1]]));
return shown;
"""

# How many points each chart holds, and the span of its time axis in seconds.
CHARTS = """
return ['chart-soc', 'chart-stack', 'chart-current', 'chart-spread', 'chart-hottest'].map((id) => {
  const chart = Chart.getChart(id);
  const x = chart.options.scales.x;
  return [chart.data.datasets[0].data.filter((p) => p.y !== null).length, (x.max - x.min) / 1000];
});
"""


def start(args):
    """Start a program; its standard error is read into .err_lines as it comes."""
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    process.err_lines = []
    threading.Thread(target=lambda: process.err_lines.extend(process.stderr), daemon=True).start()
    return process


def line_of(process, pattern):
    """The first match of pattern in a line of the process's standard error."""
    matches = lambda: [m for m in (re.search(pattern, line) for line in list(process.err_lines)) if m]
    return wait_for(f"a line matching {pattern!r} from {process.args[0]}", 20, matches)[0]


def wait_for(what, seconds, check):
    """check() until it returns something true; fails naming what and the last value."""
    end = time.monotonic() + seconds
    last = None
    while time.monotonic() < end:
        last = check()
        if last:
            return last
        time.sleep(0.1)
    raise AssertionError(f"{what} within {seconds} s; last: {last!r}")


class Page(unittest.TestCase):
    """One simulator and one qavd, shared; the API first, then the browser, which stops the simulator."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="qav_page_")
        with open(os.path.join(cls.dir, "answers.txt"), "w") as replay:
            for answer in [DISCHARGING] * 4 + [CHARGING] * 4:
                replay.write(answer.replace("\n", "\\x0A") + "\n")
        cls.sim = start([SIM, "--port", "0", "--replay", os.path.join(cls.dir, "answers.txt")])
        sim_port = line_of(cls.sim, r"serving tcp 127\.0\.0\.1:(\d+)").group(1)
        # The same address twice: one server for the page and the metrics.
        cls.qavd = start([QAVD, "-a", f"tcp:127.0.0.1:{sim_port}", "-n", "rack-1", "-i", "0.5", "-t", "0.4",
                          "--stale-after", "2", "--http-listen", "127.0.0.1:0", "--metrics-listen", "127.0.0.1:0",
                          "--capacity", "10"])
        cls.port = int(line_of(cls.qavd, r"qavd: HTTP server listening on 127\.0\.0\.1:(\d+)").group(1))
        cls.lines = []
        threading.Thread(target=lambda: cls.lines.extend(cls.qavd.stdout), daemon=True).start()

    @classmethod
    def tearDownClass(cls):
        for process in (cls.qavd, cls.sim):
            process.kill()
            process.wait()
        shutil.rmtree(cls.dir)

    def request(self, method, path):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        connection.request(method, path)
        response = connection.getresponse()
        body = response.read()
        connection.close()
        return response, body

    def get_json(self, path):
        response, body = self.request("GET", path)
        self.assertEqual(response.status, 200, path)
        self.assertEqual(response.getheader("Content-Type"), "application/json")
        return json.loads(body)

    def test_1_api(self):
        state = wait_for("a fresh state", 20, lambda: (s := self.get_json("/api/v1/state"))["fresh"] and s)
        # The answer as --output json printed it, and the page's three fields.
        answer = {key: value for key, value in state.items()
                  if key not in ("fresh", "age_seconds", "low_battery", "interval_seconds")}
        printed = lambda: [json.loads(line) for line in list(self.lines)]
        wait_for("the state's answer printed by qavd", 5, lambda: answer in printed())
        self.assertEqual(list(state)[-4:], ["fresh", "age_seconds", "low_battery", "interval_seconds"])
        self.assertEqual(state["low_battery"], False)
        self.assertEqual(state["interval_seconds"], 0.5)
        self.assertTrue(0 <= state["age_seconds"] < 1.5, state)

        history = self.get_json("/api/v1/history?seconds=3600")
        self.assertEqual(history["bucket_seconds"], 5)
        self.assertEqual(len(history["fields"]), 9)
        points = history["points"]
        self.assertTrue(points)
        for point in points:
            self.assertEqual(len(point), 9)
            self.assertEqual(point[0] % 5, 0)
            self.assertTrue(85 <= point[1] <= 100 and 3.28 <= point[4] <= 4 and 22 <= point[6] <= 30, point)
        self.assertEqual([p[0] for p in points], sorted({p[0] for p in points}))

        # The first answer raised an alert and a fault; the second cleared the fault.
        names = lambda events: [e["event"] for e in events]
        events = wait_for("faultclear among the events", 10,
                          lambda: "faultclear" in names(e := self.get_json("/api/v1/events")["events"]) and e)
        self.assertEqual(names(events)[:3], ["alert", "fault", "alert"])
        self.assertEqual(events[0]["time"], printed()[0]["time"])

        # Paths, methods and headers.
        for path, status, content_type in [
                ("/", 200, "text/html; charset=utf-8"), ("/app.js", 200, "text/javascript; charset=utf-8"),
                ("/app.css", 200, "text/css; charset=utf-8"), ("/icon.svg", 200, "image/svg+xml"),
                ("/chart.js", 200, "text/javascript; charset=utf-8"), ("/api/v1/events", 200, "application/json"),
                ("/api/v1", 404, None), ("/api/v1/state/", 404, None), ("/index.html", 404, None),
                ("/api/v1/history?seconds=x", 400, None)]:
            response, body = self.request("GET", path)
            self.assertEqual(response.status, status, path)
            self.assertEqual(response.getheader("X-Content-Type-Options"), "nosniff", path)
            if content_type:
                self.assertEqual(response.getheader("Content-Type"), content_type, path)
                self.assertEqual(response.getheader("Content-Security-Policy"), "default-src 'self'", path)
                self.assertTrue(body, path)
        self.assertTrue(self.request("GET", "/chart.js")[1].startswith(b"/*!\n * Chart.js v3."))
        head, body = self.request("HEAD", "/")
        self.assertEqual((head.status, body), (200, b""))
        self.assertGreater(int(head.getheader("Content-Length")), 1000)
        for method, path in [("POST", "/api/v1/state"), ("PUT", "/"), ("DELETE", "/api/v1/history")]:
            response, _ = self.request(method, path)
            self.assertEqual((response.status, response.getheader("Allow")), (405, "GET, HEAD"), path)
        metrics = self.request("GET", "/metrics")[1].decode()
        self.assertIn('qav_up{battery="rack-1"} 1', metrics)

        # Two addresses for the one server are refused at start.
        second = subprocess.run([QAVD, "--http-listen", "127.0.0.1:0", "--metrics-listen", "127.0.0.1:1"],
                                capture_output=True, text=True, timeout=20)
        self.assertEqual(second.returncode, 2)
        self.assertIn("--http-listen 127.0.0.1:0 and --metrics-listen 127.0.0.1:1 differ", second.stderr)

    def test_2_page_in_browser(self):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--no-first-run", "--disable-background-networking", "--disable-component-update",
                         "--disable-sync", "--window-size=1280,1000", f"--user-data-dir={self.dir}/profile"]:
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        # The banner's times are local; UTC here, so the test can read them.
        browser = webdriver.Chrome(service=Service(CHROMEDRIVER, env={**os.environ, "TZ": "UTC"}), options=options)
        try:
            self.browse(browser)
            complaints = [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]
            self.assertEqual(complaints, [])
        finally:
            browser.quit()

    def browse(self, browser):
        browser.get(f"http://127.0.0.1:{self.port}/")
        snapshot = lambda: browser.execute_script(SNAPSHOT)
        # Each answer in turn, every value at once; live, so no banner.
        for expected in (SHOWN_DISCHARGING, SHOWN_CHARGING):
            wait_for(f"the page showing {expected['mode']}", 20, lambda: snapshot() == expected)
        self.assertFalse(browser.execute_script("return document.body.classList.contains('stale')"))
        self.assertFalse(browser.find_element("id", "banner").is_displayed())

        # The charts hold points of the last hour, then of the last day.
        wait_for("points in every chart", 20,
                 lambda: all(points >= 2 for points, _ in browser.execute_script(CHARTS)))
        self.assertEqual({span for _, span in browser.execute_script(CHARTS)}, {3600})
        browser.find_element("css selector", "button[data-seconds='86400']").click()
        wait_for("a day in every chart", 10,
                 lambda: all(span == 86400 and points >= 2 for points, span in browser.execute_script(CHARTS)))

        # The simulator stops: a banner says since when and why, and every value is greyed.
        self.sim.kill()
        banner = browser.find_element("id", "banner")
        wait_for("the stale banner", 20, lambda: banner.is_displayed())
        stale = self.get_json("/api/v1/state")
        since = time.strftime("%H:%M:%S", time.gmtime(stale["stale_since"]))
        self.assertRegex(banner.text, rf"^Data stale since {since}: (cannot connect|connection lost), \d+ failed polls$")
        greys = browser.execute_script(
            "return [...document.querySelectorAll('.value, .reading')].map((e) => getComputedStyle(e).color)")
        self.assertEqual(set(greys), {"rgb(154, 163, 171)"})
        self.assertIn(browser.execute_script(SNAPSHOT)["soc"], ("85.0 %", "100.0 %"))
        wait_for("commlost at the top of the events", 10,
                 lambda: browser.find_element("css selector", "#events li strong").text == "commlost")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
