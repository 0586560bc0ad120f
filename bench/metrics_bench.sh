#!/usr/bin/env bash
# qavd's metrics under load: scrape latency (median, 99th percentile) at 200 scrapes a
# second for 10 s while qavd polls the simulator every 0.1 s, then qavd's peak resident
# memory (VmHWM) with metrics on, beside a run without them.
# usage: bench/metrics_bench.sh [BUILD_DIR]   (default build/ci)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/ci}" && pwd)
work=$(mktemp -d /tmp/qav-metrics-bench.XXXXXX)
sim="" qavd=""
trap 'for p in $qavd $sim; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

"$build/battery_sim" --port 0 2>"$work/sim.log" &
sim=$!
for _ in $(seq 100); do grep -q serving "$work/sim.log" && break; sleep 0.1; done
sim_port=$(sed -n 's/^battery_sim: serving tcp 127.0.0.1:\([0-9]*\)$/\1/p' "$work/sim.log")
[ -n "$sim_port" ] || { echo "metrics_bench.sh: the simulator did not start" >&2; exit 1; }

# Start qavd polling every 0.1 s with the given extra options; sets qavd.
start_qavd() {
  "$build/qavd" -a "tcp:127.0.0.1:$sim_port" -n bench -i 0.1 -t 0.09 --output none "$@" \
    2>"$work/qavd.log" &
  qavd=$!
}
hwm() { awk '/VmHWM/ { print $2 }' "/proc/$qavd/status"; }

# A port nothing answers on; qavd's exit status 2 says when it was taken after all.
for _ in $(seq 20); do
  port=$((20000 + RANDOM % 40000))
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
  start_qavd --metrics-listen "127.0.0.1:$port"
  for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$port/metrics" && break 2; sleep 0.1; done
  kill "$qavd" 2>/dev/null || true
done
echo "load: $("$build/tests/metrics/scrape_load" "$port" 200 10)"
echo "polls: $(curl -s "http://127.0.0.1:$port/metrics" | grep '^qav_polls_total' | tr '\n' ' ')"
echo "peak resident memory with metrics: $(hwm) KiB"
kill "$qavd"; wait "$qavd" 2>/dev/null || true

start_qavd
sleep 10
echo "peak resident memory without metrics, after 10 s: $(hwm) KiB"
