#!/usr/bin/env bash
# Whole-process figures of the monitor against the simulator on 127.0.0.1:10001:
# instructions per accepted cycle (callgrind, 60-cycle run less 10-cycle run) and
# peak resident memory after 100 and 1,000 cycles. usage: bench/run.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/ci}" && pwd)
faketime=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n 1)
[ -n "$faketime" ] || { echo "run.sh: libfaketime is not installed" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "run.sh: valgrind is not installed" >&2; exit 1; }
work=$(mktemp -d /tmp/qav-bench.XXXXXX)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$work"' EXIT

start_sim() {
  "$build/battery_sim" "$@" 2>"$work/sim.log" &
  sim=$!
  for _ in $(seq 50); do grep -q serving "$work/sim.log" && return; sleep 0.1; done
  echo "run.sh: the simulator did not start: $(cat "$work/sim.log")" >&2
  exit 1
}
stop_sim() { kill "$sim"; wait "$sim" 2>/dev/null || true; sim=""; }

# Instructions of one monitor run that ends after N answers (the endpoint closes,
# and the next request ends the monitor by SIGPIPE).
instructions() {
  start_sim --close-after "$1"
  (cd "$work" && LD_PRELOAD=$faketime FAKETIME="+0 x20" valgrind --tool=callgrind \
     --callgrind-out-file="$work/callgrind.$1" "$build/qav_test" >/dev/null 2>&1) || true
  stop_sim
  grep -E '^(summary|totals):' "$work/callgrind.$1" | head -n 1 | awk '{ print $2 }'
}
short=$(instructions 10)
long=$(instructions 60)
echo "instructions: 10 cycles $short, 60 cycles $long, per accepted cycle $(( (long - short) / 50 ))"

# Peak resident memory (VmHWM) after 100 and after 1,000 cycles.
start_sim
(cd "$work" && LD_PRELOAD=$faketime FAKETIME="+0 x300" exec stdbuf -oL "$build/qav_test" >"$work/out" 2>&1) &
monitor=$!
hwm_at() {
  until [ "$(grep -c 'calling select' "$work/out")" -ge "$1" ]; do sleep 0.2; done
  awk '/VmHWM/ { print $2 }' "/proc/$monitor/status"
}
at100=$(hwm_at 100)
at1000=$(hwm_at 1000)
kill "$monitor"
stop_sim
echo "peak resident memory: ${at100} KiB after 100 cycles, ${at1000} KiB after 1000 cycles"
