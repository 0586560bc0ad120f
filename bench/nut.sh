#!/usr/bin/env bash
# qavd's NUT server under load while it polls the simulator every 0.1 s: GET VAR round
# trips on one connection (median, 99th percentile), 100 clients polling every 0.1 s on
# a new connection each time, 60 clients polling on connections they keep, qavd's
# accepted polls meanwhile, and its peak resident memory (VmHWM) with and without NUT.
# usage: bench/nut.sh [BUILD_DIR] [SECONDS]   (default build/ci, 10)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/ci}" && pwd)
seconds=${2:-10}
work=$(mktemp -d /tmp/qav-nut-bench.XXXXXX)
sim="" qavd=""
trap 'for p in $qavd $sim; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

"$build/battery_sim" --port 0 2>"$work/sim.log" &
sim=$!
for _ in $(seq 100); do grep -q serving "$work/sim.log" && break; sleep 0.1; done
sim_port=$(sed -n 's/^battery_sim: serving tcp 127.0.0.1:\([0-9]*\)$/\1/p' "$work/sim.log")
[ -n "$sim_port" ] || { echo "nut.sh: the simulator did not start" >&2; exit 1; }

# Start qavd polling every 0.1 s with the given extra options, JSON lines to a file; sets qavd.
start_qavd() {
  "$build/qavd" -a "tcp:127.0.0.1:$sim_port" -n bench -i 0.1 -t 0.09 "$@" >"$work/out.json" 2>"$work/qavd.log" &
  qavd=$!
}
hwm() { awk '/VmHWM/ { print $2 }' "/proc/$qavd/status"; }
answers() { wc -l <"$work/out.json"; }
# Run the load named by its arguments; print its figures and qavd's accepted answers meanwhile.
load() {
  local before after started ended
  before=$(answers); started=$(date +%s.%N)
  "$build/bench/nut_load" "$port" bench "$@" || true
  after=$(answers); ended=$(date +%s.%N)
  echo "  qavd accepted $((after - before)) answers in $(awk -v a="$ended" -v b="$started" 'BEGIN { printf "%.2f", a - b }') s"
}

start_qavd --nut-listen 127.0.0.1:0
for _ in $(seq 100); do grep -q 'NUT server listening' "$work/qavd.log" && break; sleep 0.1; done
port=$(sed -n 's/^qavd: NUT server listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/qavd.log")
[ -n "$port" ] || { echo "nut.sh: qavd did not start its NUT server" >&2; exit 1; }
sleep 1
echo "GET VAR round trips, one connection, 10000 in a row:"
load rtt 10000
echo "100 clients, each a new connection every 0.1 s for $seconds s:"
load clients 100 0.1 "$seconds"
echo "60 clients, each on its own connection, every 0.1 s for $seconds s:"
load clients 60 0.1 "$seconds" persistent
echo "peak resident memory with NUT: $(hwm) KiB"
kill "$qavd"; wait "$qavd" 2>/dev/null || true

start_qavd --output json
sleep "$seconds"
echo "peak resident memory without NUT, after $seconds s: $(hwm) KiB"
