#!/usr/bin/env python3
"""Run the example commands of the README's Quick start and of qavd.8's EXAMPLES against
the simulator, and check that qavd --help, qavd.8 and example.conf name the same options.

usage: documented_examples_test.py SOURCE_DIR BUILD_DIR

Each code block is one scenario, its lines run in order by bash, rewritten first:
  tcp:HOST:PORT               -> tcp:127.0.0.1:<the test's simulator>
  HOST:PORT (dotted IPv4)     -> 127.0.0.1:<a free port, the same for the same PORT>
  /var/lib/qavd, /etc/qavd    -> directories in a scratch tree (/etc/qavd holds example.conf)
  build/dev/                  -> the build tree under test (its programs also come first in PATH)
A line ending in "&" runs in the background until the block ends, then gets SIGTERM and
must exit 0; any other line must exit 0 within 10 s. A line that fails is run again for
up to 10 s while servers start and the first poll comes. Not run: "battery_sim" lines (the test's simulator stands for them),
tools/demo.sh and tools/test.sh (the demo, and the suite that runs this test), and
systemctl (systemd is not PID 1 where the tests run).
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SOURCE, BUILD = sys.argv[1], sys.argv[2]
NOT_RUN = ("battery_sim", "build/dev/battery_sim", "tools/demo.sh", "tools/test.sh", "systemctl")
failures = []


def fail(text):
    failures.append(text)
    print("FAIL: " + text, flush=True)


given_ports = set()


def free_port():
    """A loopback port free now and not given out before by this test: the kernel may hand
    a port it just gave back to the next bind of port 0, and two examples' ports must differ."""
    while True:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        if port not in given_ports:
            given_ports.add(port)
            return port


def readme_blocks():
    """The indented or fenced code blocks of the README's Quick start."""
    text = open(os.path.join(SOURCE, "README.md"), encoding="utf-8").read()
    section = re.search(r"^## Quick start\n(.*?)(?=^## )", text, re.M | re.S).group(1)
    blocks, current, fenced = [], [], False
    for line in section.split("\n") + [""]:
        if line.startswith("```"):
            fenced = not fenced
            if not fenced:
                blocks.append(current)
                current = []
        elif fenced or line.startswith("    "):
            current.append(line.strip())
        elif current and not fenced:
            blocks.append(current)
            current = []
    return blocks


def manual_blocks():
    """The .EX/.EE blocks of qavd.8's EXAMPLES, with groff's escapes undone."""
    text = open(os.path.join(SOURCE, "man", "qavd.8.in"), encoding="utf-8").read()
    section = re.search(r"^\.SH EXAMPLES\n(.*?)(?=^\.SH )", text, re.M | re.S).group(1)
    return [[line.replace("\\-", "-").replace("\\e", "\\") for line in block.strip().split("\n")]
            for block in re.findall(r"^\.EX\n(.*?)^\.EE", section, re.M | re.S)]


class Scenario:
    """One block's commands, rewritten to this machine's loopback and scratch tree."""

    def __init__(self, scratch, simulator_port):
        self.scratch, self.simulator_port, self.ports = scratch, simulator_port, {}
        self.env = dict(os.environ, PATH=BUILD + os.pathsep + os.environ["PATH"])

    def rewrite(self, line):
        line = re.sub(r"tcp:[^\s:]+:\d+", "tcp:127.0.0.1:%d" % self.simulator_port, line)
        line = re.sub(r"(?<!tcp:)\b\d+\.\d+\.\d+\.\d+:(\d+)",
                      lambda m: "127.0.0.1:%d" % self.ports.setdefault(m.group(1), free_port()), line)
        line = line.replace("/var/lib/qavd", self.scratch + "/var/lib/qavd")
        line = line.replace("/etc/qavd", self.scratch + "/etc/qavd")
        return re.sub(r"(^|\s)build/dev/", r"\1" + BUILD + "/", line)

    def run(self, where, block):
        background, started = [], 0.0
        for line in block:
            if not line or line.startswith(NOT_RUN):
                continue
            command = self.rewrite(line)
            if command.endswith("&"):
                background.append((line, subprocess.Popen(
                    ["bash", "-c", "exec " + command[:-1]], env=self.env, stdout=subprocess.DEVNULL,
                    stderr=subprocess.PIPE, text=True)))
                started = time.monotonic()
                continue
            self.run_until_it_works(where, line, command)
        # A program started in the background gets its first poll done before it is stopped.
        time.sleep(max(0.0, started + 2 - time.monotonic()))
        for line, process in background:
            if process.poll() is not None:
                fail("%s: '%s' ended early (%d): %s" % (where, line, process.returncode, process.stderr.read()))
                continue
            process.send_signal(signal.SIGTERM)
            try:
                status = process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                status = "still running 5 s after SIGTERM"
            if status != 0:
                fail("%s: '%s' after SIGTERM: %s %s" % (where, line, status, process.stderr.read()))

    def run_until_it_works(self, where, line, command):
        deadline, result = time.monotonic() + 10, None
        while time.monotonic() < deadline:
            try:
                result = subprocess.run(["bash", "-c", command], env=self.env, capture_output=True,
                                        text=True, timeout=10)
            except subprocess.TimeoutExpired:
                fail("%s: '%s' still running after 10 s" % (where, line))
                return
            if result.returncode == 0:
                print("%s: %s -> %s" % (where, line, result.stdout.strip().split("\n")[0][:100]))
                return
            time.sleep(0.2)
        fail("%s: '%s' exited %d: %s%s" % (where, line, result.returncode, result.stdout, result.stderr))


def wait_for_port(port):
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    fail("the simulator does not listen on port %d" % port)


def run_examples(simulator_port):
    scenarios = [("README Quick start", b) for b in readme_blocks()] + [("qavd.8", b) for b in manual_blocks()]
    if len(scenarios) < 4:
        fail("only %d example blocks found" % len(scenarios))
    for where, block in scenarios:
        scratch = tempfile.mkdtemp(prefix="qav-examples.")
        try:
            os.makedirs(scratch + "/var/lib/qavd")
            os.makedirs(scratch + "/etc/qavd")
            shutil.copy(os.path.join(SOURCE, "etc/qavd/example.conf"), scratch + "/etc/qavd/")
            Scenario(scratch, simulator_port).run(where, block)
            for directory in ["/var/lib/qavd"]:
                if any(directory in line for line in block) and not os.listdir(scratch + directory):
                    fail("%s: nothing was written to %s" % (where, directory))
        finally:
            shutil.rmtree(scratch)


def check_option_lists():
    """Every option of --help is in qavd.8 and, as a key, in example.conf with its default."""
    help_text = subprocess.run([os.path.join(BUILD, "qavd"), "--help"], capture_output=True, text=True).stdout
    options = dict(re.findall(r"^ +(?:-[a-z],)?--([a-z][a-z-]+)(?: [^\s=]+)?(?:=(\S+))?", help_text, re.M))
    for line in re.findall(r"^ +-.*Needs:.*$", help_text, re.M):
        if not re.search(r"^ +-\S+( \S+)? {2,}\S.*\. Needs: --", line):
            fail("--help does not say Needs: after the description: " + line.strip())
    manual = open(os.path.join(SOURCE, "man", "qavd.8.in"), encoding="utf-8").read().replace("\\-", "-")
    conf = open(os.path.join(SOURCE, "etc/qavd/example.conf"), encoding="utf-8").read()
    keys = {key: value.strip('"') for key, value in re.findall(r"^#? ?([a-z][a-z-]+) = (.*)$", conf, re.M)}
    if len(options) < 25:
        fail("only %d options found in qavd --help" % len(options))
    for option, default in options.items():
        if not re.search(r"--%s\b" % option, manual):
            fail("qavd.8 does not document --%s" % option)
        if option in ("help", "version", "config"):
            continue
        if option not in keys:
            fail("example.conf does not list the key %s" % option)
        elif default and re.search(r"^# %s = " % option, conf, re.M) and keys[option] != default:
            fail("example.conf shows %s = %s; the default is %s" % (option, keys[option], default))
    for key in keys:
        if key not in options:
            fail("example.conf lists %s, which qavd does not know" % key)
    # The events' entries are printed from the table of events (event_table_test checks them).
    for name in ["CREDENTIALS_DIRECTORY", "QAV_EVENT", "SIGHUP", "EXIT STATUS"]:
        if name not in manual:
            fail("qavd.8 does not mention %s" % name)


def check_reference_sections():
    """The built qavd.8 holds the sections printed from the daemon's tables, with known names."""
    built = open(os.path.join(BUILD, "man", "qavd.8"), encoding="utf-8").read()
    for section, name in [("METRICS", "qav_state_of_charge_ratio"), ("MQTT TOPICS", "qav/NAME/state"),
                          ("MQTT TOPICS", "homeassistant/binary_sensor/qav_NAME/battery_low/config"),
                          ("NUT VARIABLES", "battery.charge"), ("NUT VARIABLES", "ups.status")]:
        text = re.search(r"^\.SH %s\n(.*?)(?=^\.SH )" % section, built, re.M | re.S)
        if not text or "\n.B %s\n" % name.replace("-", "\\-") not in text.group(1):
            fail("the built qavd.8 has no %s in %s" % (name, section))


def main():
    check_option_lists()
    check_reference_sections()
    port = free_port()
    log = tempfile.TemporaryFile(mode="w+")
    simulator = subprocess.Popen([os.path.join(BUILD, "battery_sim"), "--port", str(port)], stderr=log)
    try:
        wait_for_port(port)
        run_examples(port)
    finally:
        simulator.terminate()
        simulator.wait()
    if failures:
        log.seek(0)
        print("battery_sim's log:\n" + log.read()[-3000:])
    if failures:
        sys.exit(1)
    print("every documented example ran; --help, qavd.8 and example.conf agree")


main()
