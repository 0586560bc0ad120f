#!/usr/bin/python3
"""qavd's page end to end: the API with a real HTTP client, then the page in headless Chromium,
against one qavd polling the simulator, which replays two known answers in turn.
The site's overview is read against site_page, the HTTP exporter of a site fed by hand.
usage: page_test.py QAVD BATTERY_SIM CHROMIUM CHROMEDRIVER SITE_PAGE"""
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

QAVD, SIM, CHROMIUM, CHROMEDRIVER, SITE_PAGE = sys.argv[1:6]

# Discharging with a blown main fuse and a voltage alert; every cell its own voltage.
DISCHARGING = ("2134" "0CE40CF80D0C0CD00D200CE40CE40CE4" "FF9C" "161718191A1B1C1D" "1F" "2D" "05"
               "0000" "0012" "8010" "5A\n")
# Charging, full, healthy; a temperature alert; the fan on.
CHARGING = ("2710" "0FA00FA00FA00FA00FA00FA00FA00FA0" "04E2" "1E1E1E1E1E1E1E1E" "28" "32" "00"
            "0001" "0000" "8408" "77\n")
# Charging at 5 A, 60 %, healthy, no alert.
PLAIN = ("1770" "0E100E100E100E100E100E100E100E10" "01F4" "1919191919191919" "1E" "32" "00"
         "0000" "0000" "8400" "5A\n")
# On battery (discharge mode), 15 % left: low; no fault, no alert; then the same with a blown main fuse.
LOW = ("05DC" "0C1C0C1C0C1C0C1C0C1C0C1C0C1C0C1C" "F830" "1A1A1A1A1A1A1A1A" "1F" "2D" "00"
       "0000" "0000" "8200" "5A\n")
LOW_FAULT = LOW.replace("8200", "8210")

# The header, the tab's title and the line of the mode (empty when hidden) for each answer
# (stale: after the low one with a fault).
HEADERS = {
    "fault": ("Fault: main fuse", "fault", "Also: Alert: voltage 0x0012: bits 1, 4", "Fault: main fuse - rack-1 85 %",
              "Discharging"),
    "alert": ("Alert: temperature 0x0001: bit 0", "alert", "", "Alert: temperature 0x0001: bit 0 - rack-1 100 %",
              "Charging"),
    "charging": ("Charging", "charging", "", "Charging - rack-1 60 %", ""),
    "low": ("Low battery", "low", "Also: On battery", "Low battery - rack-1 15 %", "Discharging"),
    "lowfault": ("Fault: main fuse", "fault", "Also: Low battery · On battery", "Fault: main fuse - rack-1 15 %",
                 "Discharging"),
    "stale": ("Stale - last answer: Fault: main fuse", "stale", "Also: Low battery · On battery",
              "Stale - last answer: Fault: main fuse - rack-1", "Discharging"),
}

# The header as shown, whether the state, the charge and the time left (when shown) are on
# the first screen, and any text that crosses its tile's border, all measured by the browser.
HEADER = """
scrollTo(0, 0);
const text = (id) => document.getElementById(id).textContent;
const seen = (e) => { const r = e.getBoundingClientRect(); return r.height > 0 && r.top >= 0 && r.bottom <= innerHeight; };
const first = ['state', 'soc', 'time-left'].map((id) => document.getElementById(id))
  .filter((e) => !e.hidden).every(seen);
const crossing = [];
for (const tile of document.querySelectorAll('.top > *, .card, .cells li, .layers li, .flags li, .figures > div, .pairs > div')) {
  const box = tile.getBoundingClientRect();
  for (const e of [tile, ...tile.querySelectorAll('*')]) {
    const r = e.getBoundingClientRect();
    if (r.width && (r.left < box.left - 1 || r.right > box.right + 1 || e.scrollWidth > e.clientWidth + 1))
      crossing.push(`${tile.className} ${e.textContent.slice(0, 30)}`);
  }
}
return [text('state'), document.getElementById('state').className.split(' ')[1],
        document.getElementById('also').hidden ? '' : text('also'), document.title,
        document.getElementById('mode').hidden ? '' : text('mode'), first, crossing, innerWidth];
"""

# The overview as shown: the title, the summary, the totals, each tile's battery, class, state,
# more, charge, time left, power and age; whether the summary and every tile's state are on the
# first screen; any text crossing its tile; and where each tile links.
TILES = """
scrollTo(0, 0);
const text = (id) => document.getElementById(id).textContent;
const seen = (e) => { const r = e.getBoundingClientRect(); return r.height > 0 && r.top >= 0 && r.bottom <= innerHeight; };
const tiles = [...document.querySelectorAll('.tile')];
const crossing = [];
for (const tile of [...tiles, ...document.querySelectorAll('.top > *, .figures > div')]) {
  const box = tile.getBoundingClientRect();
  for (const e of tile.querySelectorAll('*')) {
    const r = e.getBoundingClientRect();
    if (r.width && (r.left < box.left - 1 || r.right > box.right + 1 || e.scrollWidth > e.clientWidth + 1))
      crossing.push(`${tile.className} ${e.textContent.slice(0, 30)}`);
  }
}
return [document.title, text('summary'), text('site-power'), text('site-energy'),
        tiles.map((t) => [t.dataset.battery, t.className, ...['.state', '.more', '.tile-charge', 'dd.left', 'dd.power']
          .map((s) => t.querySelector(s).textContent), /^\\d+(\\.\\d)? (s|min) ago$/.test(t.querySelector('dd.age').textContent)]),
        [document.getElementById('summary'), ...tiles.map((t) => t.querySelector('.state'))].every(seen),
        crossing, tiles.map((t) => t.querySelector('a').getAttribute('href'))];
"""

# Where each tile of the overview starts and where the last ends, in pixels from the left.
ROW = """
const boxes = [...document.querySelectorAll('.tile')].map((t) => t.getBoundingClientRect());
return [boxes.map((b) => Math.round(b.left)), Math.round(boxes[boxes.length - 1].right)];
"""

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
    "power": "-26.5 W",
    "cells": ["3.300 V", "3.320 V", "3.340 V", "3.280 V", "3.360 V", "3.300 V", "3.300 V", "3.300 V"],
    "marks": ["", "", "", "▼", "▲", "", "", ""], "spread": "80 mV",
    "layers": ["29 °C", "28 °C", "27 °C", "26 °C", "25 °C", "24 °C", "23 °C", "22 °C"],
    "layer-marks": ["▲", "", "", "", "", "", "", "▼"], "heatsink": "31 °C", "humidity": "45 %",
    "flags": flags(main_fuse=1, battery_enable=1),
    "temp-alert": "none", "volt-alert": "0x0012: bits 1, 4", "balance": "0x05",
}
SHOWN_CHARGING = {
    "name": "rack-1", "soc": "100.0 %", "mode": "Charging", "stack": "32.00 V", "current": "12.50 A",
    "power": "400.0 W", "cells": ["4.000 V"] * 8, "marks": [""] * 8,
    "spread": "0 mV", "layers": ["30 °C"] * 8, "layer-marks": [""] * 8, "heatsink": "40 °C", "humidity": "50 %",
    "flags": flags(fan=1, charge_mode=1, battery_enable=1),
    "temp-alert": "0x0001: bit 0", "volt-alert": "none", "balance": "0x00",
}

# Everything the page shows, read from its DOM in one go.
SNAPSHOT = """
const text = (id) => document.getElementById(id).textContent;
const all = (selector) => [...document.querySelectorAll(selector)];
const shown = {};
for (const id of ['name', 'soc', 'mode', 'stack', 'current', 'power', 'spread', 'heatsink',
                  'humidity', 'temp-alert', 'volt-alert', 'balance']) shown[id] = text(id);
shown.cells = all('#cells .reading').map((e) => e.textContent);
shown.marks = all('#cells .mark').map((e) => e.textContent);
shown.layers = all('#layers .reading').map((e) => e.textContent);
shown['layer-marks'] = all('#layers .mark').map((e) => e.textContent);
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

# The Health card's figures, each cell's resistance and mark, the weak cells' labels, and the
# capacity chart's datasets (measured, fitted, replace level) as [seconds, ampere-hours].
HEALTH = """
const text = (id) => document.getElementById(id).textContent;
const all = (selector) => [...document.querySelectorAll(selector)].map((e) => e.textContent);
const points = (set) => set.data.map((p) => [p.x / 1000, Math.round(p.y * 1000) / 1000]);
return [['health', 'health-reference', 'replace-label', 'replace', 'cycles', 'fade', 'discharged', 'charged',
         'since-full', 'installed', 'stack-resistance'].map(text), all('#resistances .reading'),
        all('#resistances .mark'), all('#resistances .weak .label'),
        Chart.getChart('chart-capacity').data.datasets.map(points)];
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
            for answer in [DISCHARGING] * 4 + [CHARGING] * 4 + [PLAIN] * 4 + [LOW] * 4 + [LOW_FAULT] * 4:
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
            self.assertTrue(15 <= point[1] <= 100 and 3.1 <= point[4] <= 4 and 22 <= point[6] <= 30, point)
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

    def in_browser(self, check):
        """check(browser) in headless Chromium at a desktop's width, which must not complain on its console."""
        browser = self.chrome(1280)
        try:
            check(browser)
            complaints = [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]
            self.assertEqual(complaints, [])
        finally:
            browser.quit()

    def chrome(self, width):
        """Headless Chromium at a desktop's width, or as a phone of that width."""
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--no-first-run", "--disable-background-networking", "--disable-component-update",
                         "--disable-sync", "--window-size=1280,1000", f"--user-data-dir={self.dir}/profile{width}"]:
            options.add_argument(argument)
        if width < 1280:
            options.add_experimental_option("mobileEmulation",
                                            {"deviceMetrics": {"width": width, "height": 844, "pixelRatio": 2}})
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        # The banner's times are local; UTC here, so the test can read them.
        browser = webdriver.Chrome(service=Service(CHROMEDRIVER, env={**os.environ, "TZ": "UTC"}), options=options)
        browser.get(f"http://127.0.0.1:{self.port}/")
        return browser

    def test_2_page_in_browser(self):
        browsers = {}
        try:
            for width in (1280, 390):
                browsers[width] = self.chrome(width)
            self.browse(browsers)
            for browser in browsers.values():
                complaints = [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]
                self.assertEqual(complaints, [])
        finally:
            for browser in browsers.values():
                browser.quit()

    def check_header(self, browsers, state):
        """The header and title say state first at both widths, on the first screen, no text crossing a tile."""
        for width, browser in browsers.items():
            seen = [None]
            header = lambda: (seen.append(h := browser.execute_script(HEADER)) or h[:5] == list(HEADERS[state])) and h
            try:
                shown = wait_for(f"the header saying {state} at {width} px", 20, header)
            except AssertionError as error:
                raise AssertionError(f"{error}; it said {seen[-1][:5]}") from None
            self.assertTrue(shown[5], f"{state} at {width} px: the state or the charge is below the first screen")
            self.assertEqual(shown[6], [], f"{state} at {width} px: text crossing its tile: {shown[6]}")
            self.assertEqual(shown[7], width)
            if os.environ.get("QAV_PAGE_SHOTS"):
                path = os.path.join(os.environ["QAV_PAGE_SHOTS"], f"header-{state}-{width}.png")
                if width < 1280:
                    browser.save_screenshot(path)
                else:
                    browser.find_element("tag name", "header").screenshot(path)

    def browse(self, browsers):
        browser = browsers[1280]
        snapshot = lambda: browser.execute_script(SNAPSHOT)
        # Each answer in turn, every value at once; live, so no banner.
        for expected in (SHOWN_DISCHARGING, SHOWN_CHARGING):
            wait_for(f"the page showing {expected['mode']}", 20, lambda: snapshot() == expected)
        self.assertFalse(browser.execute_script("return document.body.classList.contains('stale')"))
        self.assertFalse(browser.find_element("id", "banner").is_displayed())
        # The time left beside the charge says what the state says, as "8 h 30 min left" or
        # "full in 41 min" (the replayed answers jump, so the estimate is read, not foreseen).
        def left_as_shown():
            state = self.get_json("/api/v1/state")
            minutes = lambda seconds: (f"{round(seconds / 60) // 60} h {round(seconds / 60) % 60} min"
                                       if round(seconds / 60) >= 60 else f"{round(seconds / 60)} min"
                                       if round(seconds / 60) >= 1 else "under a minute")
            wanted = (f"{minutes(state['runtime_seconds'])} left" if state.get("runtime_seconds") is not None
                      else f"full in {minutes(state['time_to_full_seconds'])}"
                      if state.get("time_to_full_seconds") is not None else "")
            return wanted and browser.find_element("id", "time-left").text == wanted
        wait_for("the time left as the state gives it", 20, left_as_shown)

        # The charts hold points of the last hour, then of the last day.
        wait_for("points in every chart", 20,
                 lambda: all(points >= 2 for points, _ in browser.execute_script(CHARTS)))
        self.assertEqual({span for _, span in browser.execute_script(CHARTS)}, {3600})
        browser.find_element("css selector", "button[data-seconds='86400']").click()
        # A day merges 18 buckets into a point: a few seconds of answers may make only one.
        wait_for("a day in every chart", 10,
                 lambda: all(span == 86400 and points >= 1 for points, span in browser.execute_script(CHARTS)))

        # The most severe thing first, in the header and the title, at both widths.
        for state in ("fault", "alert", "charging", "low", "lowfault"):
            self.check_header(browsers, state)

        # The simulator stops after the low answer with a fault: a banner says since when and
        # why, as the commlost event does, and every value is greyed.
        wait_for("the low answer with a fault", 20,
                 lambda: (s := self.get_json("/api/v1/state"))["gas_gauge_percent"] == 15 and s["status_flags"]["main_fuse"])
        self.sim.kill()
        self.check_header(browsers, "stale")
        banner = browser.find_element("id", "banner")
        wait_for("commlost at the top of the events", 10,
                 lambda: browser.find_element("css selector", "#events li strong").text == "commlost")
        lost = browser.find_element("css selector", "#events li")
        when, detail = (lost.find_element("css selector", tag).text for tag in ("time", "span"))
        self.assertRegex(detail, r"^no accepted answer in 2 polls, the last \w+$")
        self.assertRegex(banner.text, rf"^Data stale since {re.escape(when)}: {re.escape(detail)}; \d+ failed polls, "
                                      r"the latest: (cannot connect|connection lost)$")
        greys = browser.execute_script(
            "return [...document.querySelectorAll('.value, .reading')].map((e) => getComputedStyle(e).color)")
        self.assertEqual(set(greys), {"rgb(154, 163, 171)"})
        self.assertEqual(browser.execute_script(SNAPSHOT)["soc"], "15.0 %")


    def test_3_history_outlives_sigkill(self):
        """A qavd with a history file is killed inside its second outage; the next one shows both."""
        replay = os.path.join(self.dir, "outages.txt")
        with open(replay, "w") as out:
            for answer in [DISCHARGING.replace("8010", "8210")] * 12 + [CHARGING] * 4:
                out.write(answer.replace("\n", "\\x0A") + "\n")
        sim = start([SIM, "--port", "0", "--replay", replay])
        sim_port = line_of(sim, r"serving tcp 127\.0\.0\.1:(\d+)").group(1)
        args = [QAVD, "-a", f"tcp:127.0.0.1:{sim_port}", "-n", "rack-1", "-i", "0.5", "-t", "0.4", "--output", "none",
                "--http-listen", "127.0.0.1:0", "--history", os.path.join(self.dir, "rack-1.db"), "--outage-min", "1"]
        first = start(args)
        try:
            self.port = int(line_of(first, r"listening on 127\.0\.0\.1:(\d+)").group(1))
            outages = wait_for("an outage going on after one that ended", 30, lambda: (
                o := self.get_json("/api/v1/outages")["outages"]) and len(o) == 2 and o[0]["ongoing"] and o)
            before = self.get_json("/api/v1/history?seconds=3600")["points"]
            first.kill()
            first.wait()
        finally:
            first.kill()
        ended = outages[1]
        self.assertEqual((ended["ongoing"], ended["qavd_stopped"], ended["low_battery"]), (False, False, False))
        # 12 answers half a second apart: 5.5 s from first to last; 85 % throughout, 1 A drawn at 26.5 V.
        self.assertEqual((ended["duration_seconds"] in (5, 6), ended["charge_start_percent"],
                          ended["charge_lowest_percent"], ended["peak_discharge_amperes"]), (True, 85, 85, 1))
        self.assertAlmostEqual(ended["energy_wh"], 26.5 * 1 * ended["duration_seconds"] / 3600, delta=0.05)

        second = start(args)
        try:
            self.port = int(line_of(second, r"listening on 127\.0\.0\.1:(\d+)").group(1))
            after = self.get_json("/api/v1/history?seconds=3600")["points"]
            # Every bucket before the kill but the last, which may have lost its last second.
            self.assertEqual(after[:len(before) - 1], before[:-1])
            # The outage goes on in the same record, which says qavd was stopped; then it ends.
            events = wait_for("outageend", 30, lambda: [e for e in self.get_json("/api/v1/events")["events"]
                                                        if e["event"] == "outageend"])
            self.assertRegex(events[0]["detail"], r"^\d+ s on battery: charge 85\.00 % to 85\.00 % \(lowest "
                             r"85\.00 %\), 0\.\d Wh drawn, peak 1\.00 A, low battery not reached; qavd was stopped during it$")
            # Its record reaches the file within a second or so.
            now = wait_for("the resumed outage ended", 10, lambda: (o := self.get_json("/api/v1/outages")["outages"])
                           and [r for r in o if r["start"] == outages[0]["start"] and not r["ongoing"]] and o)
            resumed = next(o for o in now if o["start"] == outages[0]["start"])
            self.assertEqual(resumed["qavd_stopped"], True)
            self.assertIn(ended, now)

            def page(browser):
                browser.get(f"http://127.0.0.1:{self.port}/")
                shown = lambda: browser.execute_script(
                    "return [...document.querySelectorAll('#outages li')].map((e) => Number(e.dataset.start))")
                wait_for("the outages on the page", 20, lambda: shown() == [o["start"] for o in now[:10]]
                         or shown() == [o["start"] for o in self.get_json("/api/v1/outages")["outages"]])
                wait_for("the history before the kill in every chart", 20, lambda: all(
                    points >= len(before) - 1 for points, _ in browser.execute_script(CHARTS)))
                for span in ("604800", "2592000", "31536000"):
                    browser.find_element("css selector", f"button[data-seconds='{span}']").click()
                    wait_for(f"{span} s in every chart", 10, lambda: all(
                        s == int(span) and points >= 1 for points, s in browser.execute_script(CHARTS)))
            self.in_browser(page)
        finally:
            for process in (second, sim):
                process.kill()
                process.wait()

    def test_4_site_overview(self):
        """A site of three, one faulted and one stale, each read from its tile at both widths."""
        site = subprocess.Popen([SITE_PAGE, "rack", "rack-1", "rack-2", "rack-3"], stdin=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        site.err_lines = []
        threading.Thread(target=lambda: site.err_lines.extend(site.stderr), daemon=True).start()
        browsers = {}
        try:
            self.port = int(line_of(site, r"serving 127\.0\.0\.1:(\d+)").group(1))
            # rack-1 discharges with a blown fuse; rack-2 charged at 60 %, then went stale; rack-3 is full
            # with a temperature alert. Each is rated 10 Ah.
            for line in ["rack-1 health", "rack-1 " + DISCHARGING, "rack-2 " + PLAIN, "rack-2 stale", "rack-3 " + CHARGING]:
                site.stdin.write(line.strip() + "\n")
            site.stdin.flush()
            tiles = [["rack-1", "tile fault", "Fault: main fuse", "Alert: voltage 0x0012: bits 1, 4", "85.0 %", "–",
                      "-26.5 W", True],
                     ["rack-2", "tile stale stale", "Stale", None, "60.0 %", "–", "144.0 W", True],
                     ["rack-3", "tile alert", "Alert: temperature 0x0001: bit 0", "", "100.0 %", "–", "400.0 W", True]]
            for width in (1280, 390):
                browsers[width] = browser = self.chrome(width)
                shown = wait_for(f"the overview at {width} px", 20, lambda: (o := browser.execute_script(TILES))
                                 and len(o[4]) == 3 and o[4][1][1] == "tile stale stale" and o)
                # 10 Ah at 85 % of 26.5 V and at 100 % of 32 V; the stale battery counts in neither.
                self.assertEqual(shown[:4], ["1 of 3 in fault - rack", "1 of 3 in fault", "373.5 W (2 of 3)",
                                             "0.55 kWh (2 of 3)"])
                self.assertRegex(shown[4][1][3], r"^timeout since \d\d:\d\d:\d\d · last answer: Charging$")
                tiles[1][3] = shown[4][1][3]
                self.assertEqual(shown[4], tiles, f"at {width} px")
                self.assertEqual(shown[5:], [True, [], ["/battery/rack-1/", "/battery/rack-2/", "/battery/rack-3/"]],
                                 f"at {width} px: a state below the first screen, or text crossing its tile")
            # At a desktop's width the three tiles share the row out between them, leaving no empty column.
            self.assertEqual(browsers[1280].execute_script(ROW), [[16, 437, 859], 1264])
            # A tile opens its battery's page, which shows that battery and links back.
            browser = browsers[1280]
            browser.find_element("css selector", ".tile[data-battery='rack-1'] a").click()
            wait_for("rack-1's page", 20, lambda: browser.execute_script(SNAPSHOT) == SHOWN_DISCHARGING)
            self.assertEqual(browser.current_url, f"http://127.0.0.1:{self.port}/battery/rack-1/")
            self.assertEqual(browser.find_element("id", "back").get_attribute("href"), f"http://127.0.0.1:{self.port}/")
            self.assertEqual(browser.execute_script("return document.title"), "Fault: main fuse - rack-1 85 %")
            # Its Health card, from site_page's figures: 2026-06-01 and a quarter and a half of a year before.
            installed = time.strftime("%Y-%m-%d", time.gmtime((int(time.time()) // 86400 - 700) * 86400))
            newest, quarter = 1780272000, 7889400
            shown = wait_for("rack-1's health", 20, lambda: (h := browser.execute_script(HEALTH))[0][0] != "–" and h)
            self.assertEqual(shown, [
                ["88.0 %", "of 10.0 Ah rated", "Reaches 80 %", "2027-06-01", "31.2", "36.4 points",
                 "312.4 Ah · 8.12 kWh", "330.5 Ah · 8.93 kWh", "3 d 4 h ago", f"{installed} (700 days)", "91.8 mΩ"],
                ["10.2 mΩ"] * 5 + ["20.4 mΩ"] + ["10.2 mΩ"] * 2, [""] * 5 + ["weak ×2.0"] + [""] * 2, ["Cell 6"],
                [[[newest - 2 * quarter, 9.2], [newest - quarter, 9], [newest, 8.8]],
                 [[newest - 2 * quarter, 9.2], [newest + 4 * quarter, 8]],
                 [[newest - 2 * quarter, 8], [newest + 4 * quarter, 8]]]])
            self.assertEqual(self.get_json("/api/v1/batteries/rack-1/health")["replace_date"], "2027-06-01")
            self.assertEqual(self.request("GET", "/api/v1/health")[0].status, 404)
            for browser in browsers.values():
                complaints = [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]
                self.assertEqual(complaints, [])
        finally:
            for browser in browsers.values():
                browser.quit()
            site.stdin.close()
            site.wait(timeout=10)

    def test_5_health_of_an_ageing_battery(self):
        """qavd and a simulator 300 cycles old with a weak cell 6, at 50 times speed: the card as the API says."""
        steps = ", ".join(["30:-5, 30:-15"] * 12 + ["600:+20"])
        sim = start([SIM, "--port", "0", "--capacity", "20", "--resistance", "5", "--weak-cell", "6", "--weak-factor", "2",
                     "--fade", "10", "--cycles", "300", "--speed", "50", "--profile", steps])
        sim_port = line_of(sim, r"serving tcp 127\.0\.0\.1:(\d+)").group(1)
        daemon = start([QAVD, "-a", f"tcp:127.0.0.1:{sim_port}", "-n", "rack-1", "-i", "0.2", "-t", "0.15",
                        "--capacity", "20", "--output", "none", "--http-listen", "127.0.0.1:0"])
        try:
            self.port = int(line_of(daemon, r"listening on 127\.0\.0\.1:(\d+)").group(1))
            # 503 until the poll loop's first snapshot. Within 20 % after 30 steps of ±10 mV noise per cell.
            health = wait_for("cell 6 named weak", 60, lambda: (r := self.request("GET", "/api/v1/health"))[0].status == 200
                              and (h := json.loads(r[1]))["weak_cell"] and h["resistance"]["load_steps"] >= 30 and h)
            cells = health["resistance"]["cell_ohms"]
            self.assertEqual(health["weak_cell"]["cell"], 6)
            self.assertAlmostEqual(health["weak_cell"]["ratio"], 2, delta=0.2)
            for cell, ohms in enumerate(cells, 1):
                self.assertAlmostEqual(ohms, 0.010 if cell == 6 else 0.005, delta=0.002 if cell == 6 else 0.001)
            self.assertAlmostEqual(health["resistance"]["stack_ohms"], 0.045, delta=0.0045)
            # 14 Ah left of 20, counted on qavd's clock while the simulator plays 50 s a second: 0.28 Ah, 1.4 %.
            self.assertAlmostEqual(health["health_ratio"], 0.014, delta=0.0015)
            self.assertTrue(health["replace"])

            def page(browser):
                shown = wait_for("the weak cell on the card", 20, lambda: (h := browser.execute_script(HEALTH))[3] and h)
                self.assertEqual((shown[0][0], shown[0][2:4], shown[3]),
                                 ("1.4 %", ["At or below 80 %", "Replace the battery"], ["Cell 6"]))
                self.assertRegex(shown[2][5], r"^weak ×(1\.[89]|2\.[012])$")
                for cell, text in enumerate(shown[1], 1):
                    self.assertAlmostEqual(float(text.removesuffix(" mΩ")), 10 if cell == 6 else 5, delta=2 if cell == 6 else 1)
                self.assertGreaterEqual(len(shown[4][0]), 1)
            self.in_browser(page)
        finally:
            for process in (daemon, sim):
                process.kill()
                process.wait()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
