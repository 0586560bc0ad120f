#!/usr/bin/env bash
# Whole-process figures of qavd against the simulator on a free loopback port:
#   instructions per poll cycle with JSON output and a data log (callgrind; a
#   long run less a short run, so start-up drops out), the mean start-to-start
#   period over 300 polls at 0.1 s, and peak resident memory (VmHWM) over
#   RSS_POLLS polls at 0.1 s (10,000 by default: about 17 minutes).
# usage: bench/qavd.sh [BUILD_DIR]   (RSS_POLLS=N to shorten the memory run; QAVD_ARGS="..."
#        adds options to every qavd run, such as "--history /var/tmp/h.db")
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/ci}" && pwd)
rss_polls=${RSS_POLLS:-10000}
command -v valgrind >/dev/null || { echo "qavd.sh: valgrind is not installed" >&2; exit 1; }
work=$(mktemp -d /tmp/qavd-bench.XXXXXX)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$work"' EXIT

start_sim() {
  "$build/battery_sim" --port 0 2>"$work/sim.log" &
  sim=$!
  for _ in $(seq 100); do
    port=$(sed -n 's/^battery_sim: serving tcp 127.0.0.1:\([0-9]*\)$/\1/p' "$work/sim.log")
    [ -n "$port" ] && return
    sleep 0.1
  done
  echo "qavd.sh: the simulator did not start: $(cat "$work/sim.log")" >&2
  exit 1
}
stop_sim() { kill "$sim"; wait "$sim" 2>/dev/null || true; sim=""; }

# Lines in a file, 0 when it does not exist yet.
lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }

# Instructions of a qavd run stopped by SIGTERM after N accepted answers; prints
# "instructions answers".
instructions() {
  local n=$1 out=$work/out.$1 logs=$work/logs.$1
  mkdir -p "$logs"
  start_sim
  valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.$n" "$build/qavd" \
    --address "tcp:127.0.0.1:$port" --interval 0.1 --timeout 0.08 --datalog "$logs" ${QAVD_ARGS:-} >"$out" 2>/dev/null &
  local pid=$!
  until [ "$(lines "$out")" -ge "$n" ]; do sleep 0.05; done
  kill -TERM "$pid"
  wait "$pid"
  stop_sim
  echo "$(grep -E '^(summary|totals):' "$work/callgrind.$n" | head -n 1 | awk '{ print $2 }') $(lines "$out")"
}
read -r short short_n <<<"$(instructions 20)"
read -r long long_n <<<"$(instructions 220)"
echo "instructions: $short_n answers $short, $long_n answers $long," \
     "per poll cycle $(( (long - short) / (long_n - short_n) ))"

# Start-to-start period: each accepted answer's line is stamped as it arrives.
start_sim
python3 - "$build/qavd" "$port" "$work" <<'PY'
import subprocess, sys, time
qavd = subprocess.Popen([sys.argv[1], "--address", "tcp:127.0.0.1:" + sys.argv[2], "--interval", "0.1",
                         "--timeout", "0.08", "--datalog", sys.argv[3]], stdout=subprocess.PIPE)
stamps = []
for line in qavd.stdout:
    stamps.append(time.monotonic())
    if len(stamps) == 301:
        break
qavd.terminate()
qavd.wait()
periods = [b - a for a, b in zip(stamps, stamps[1:])]
mean = sum(periods) / len(periods)
print("period over 300 polls at 0.1 s: mean %.5f s (%+.2f %%), min %.4f s, max %.4f s"
      % (mean, (mean - 0.1) / 0.1 * 100, min(periods), max(periods)))
PY
stop_sim

# Peak resident memory after 100, 1,000 and every further 1,000 polls up to rss_polls.
start_sim
"$build/qavd" --address "tcp:127.0.0.1:$port" --interval 0.1 --timeout 0.08 --datalog "$work" ${QAVD_ARGS:-} \
  >"$work/rss.out" 2>/dev/null &
qavd=$!
report="peak resident memory (VmHWM, KiB) after N polls:"
for at in 100 $(seq 1000 1000 "$rss_polls"); do
  [ "$at" -le "$rss_polls" ] || break
  until [ "$(lines "$work/rss.out")" -ge "$at" ]; do sleep 1; done
  report="$report $at:$(awk '/VmHWM/ { print $2 }' "/proc/$qavd/status")"
done
kill -TERM "$qavd"
wait "$qavd" || true
stop_sim
echo "$report"
