#!/usr/bin/env bash
# A site's cost by its size: 1, 8, 32 and 128 simulated batteries polled each second by one
# qavd with the page, /metrics, NUT, MQTT (a mosquitto of its own) and the history on, for
# SITE_SECONDS (60) each. Prints per size: CPU (percent of one core, over the run), resident
# memory at the end (VmRSS) and at its peak (VmHWM), threads, descriptors, the time of one
# /metrics scrape and of the overview's first values (the page and /api/v1/batteries, by
# curl), and instructions per battery-poll (callgrind; a long run less a short one, so
# start-up drops out).
# usage: bench/site.sh [BUILD_DIR]   (SIZES="1 8" and SITE_SECONDS=N to shorten it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/ci}" && pwd)
sizes=${SIZES:-1 8 32 128}
seconds=${SITE_SECONDS:-60}
for tool in valgrind mosquitto curl; do
  command -v "$tool" >/dev/null || { echo "site.sh: $tool is not installed" >&2; exit 1; }
done
work=$(mktemp -d /tmp/qavd-site.XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

# A free loopback port.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Start n simulators and write the site's config for them to $work/site.conf.
start_site() {
  local n=$1 i port
  rm -rf "$work/history" && mkdir -p "$work/history"
  printf 'interval = 1\noutput = "json"\n' >"$work/site.conf"
  for i in $(seq "$n"); do
    port=$(free_port)
    "$build/battery_sim" --port "$port" --seed "$i" 2>/dev/null &
    pids+=($!)
    printf '[b%d]\naddress = "tcp:127.0.0.1:%d"\n' "$i" "$port" >>"$work/site.conf"
  done
  sleep 1
}
stop_site() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}

# The site's qavd (under $wrap, when set) with every output on; its pid in $qavd.
start_qavd() {
  local out=$1
  $wrap "$build/qavd" --config "$work/site.conf" --name site --history "$work/history/site.db" \
    --http-listen "127.0.0.1:$http" --nut-listen "127.0.0.1:$nut" --mqtt-broker "127.0.0.1:$mqtt" \
    >"$out" 2>"$out.err" &
  qavd=$!
}

# Lines in a file, 0 when it does not exist yet.
lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }

# Instructions of a callgrind run stopped by SIGTERM after s seconds; prints "instructions answers".
instructions() {
  local s=$1 out=$work/cg.$1
  wrap="valgrind --tool=callgrind --callgrind-out-file=$work/callgrind.$s"
  start_qavd "$out"
  sleep "$s"
  kill -TERM "$qavd"
  wait "$qavd" || true
  wrap=""
  echo "$(grep -E '^(summary|totals):' "$work/callgrind.$s" | head -n 1 | awk '{ print $2 }') $(lines "$out")"
}

mqtt=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$mqtt" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" 2>/dev/null &
broker=$!
printf '%-9s %8s %10s %10s %8s %6s %10s %10s %14s\n' batteries "cpu %" "rss KiB" "peak KiB" threads fds \
  "scrape ms" "page ms" "instr/b-poll"
for n in $sizes; do
  http=$(free_port) nut=$(free_port) wrap=""
  start_site "$n"
  start_qavd "$work/out"
  sleep 5
  ticks() { awk '{ print $14 + $15 }' "/proc/$qavd/stat"; }
  t0=$(ticks)
  sleep "$seconds"
  t1=$(ticks)
  hz=$(getconf CLK_TCK)
  cpu=$(awk -v a="$t0" -v b="$t1" -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.1f", (b - a) / hz / s * 100 }')
  rss=$(awk '/VmRSS/ { print $2 }' "/proc/$qavd/status")
  hwm=$(awk '/VmHWM/ { print $2 }' "/proc/$qavd/status")
  threads=$(awk '/Threads/ { print $2 }' "/proc/$qavd/status")
  fds=$(ls "/proc/$qavd/fd" | wc -l)
  scrape=$(curl -s -o /dev/null -w '%{time_total}' "http://127.0.0.1:$http/metrics")
  page=$(curl -s -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$http/" "http://127.0.0.1:$http/api/v1/batteries" |
         awk '{ t += $1 } END { print t }')
  kill -TERM "$qavd"
  wait "$qavd" || true
  read -r short short_n <<<"$(instructions 10)"
  read -r long long_n <<<"$(instructions 30)"
  per=$(( (long - short) / (long_n - short_n > 0 ? long_n - short_n : 1) ))
  stop_site
  printf '%-9s %8s %10s %10s %8s %6s %10.1f %10.1f %14s\n' "$n" "$cpu" "$rss" "$hwm" "$threads" "$fds" \
    "$(awk -v t="$scrape" 'BEGIN { print t * 1000 }')" "$(awk -v t="$page" 'BEGIN { print t * 1000 }')" "$per"
done
kill "$broker" 2>/dev/null || true
