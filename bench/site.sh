#!/usr/bin/env bash
# A site's cost by its size: 1, 8, 32 and 128 simulated batteries polled each second by one
# qavd with the page, /metrics, NUT, MQTT (a mosquitto of its own) and the history on, for
# SITE_SECONDS (60) each. Prints per size: CPU (percent of one core, over the run), resident
# memory at the end (VmRSS) and at its peak (VmHWM), threads, descriptors, the time of a
# /metrics scrape (the first, and the median of five more) and of the overview's first values
# (the page and /api/v1/batteries, by curl), and instructions per battery-poll (callgrind,
# over 60 s after a warm-up).
# usage: bench/site.sh [BUILD_DIR]   (SIZES="1 8" and SITE_SECONDS=N to shorten it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/ci}" && pwd)
sizes=${SIZES:-1 8 32 128}
seconds=${SITE_SECONDS:-60}
for tool in valgrind callgrind_control mosquitto curl; do
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

# Instructions and answers of a callgrind run over s seconds after a warm-up (start-up,
# the first roll-up and MQTT's discovery drop out: the counts are zeroed after it, and dumped
# before SIGTERM, so the exit's flush drops out too); prints "instructions answers".
instructions() {
  local warm=$1 s=$2 out=$work/cg.out before after
  rm -f "$work"/callgrind*
  wrap="valgrind --tool=callgrind --callgrind-out-file=$work/callgrind"
  start_qavd "$out"
  wrap=""
  sleep "$warm"
  callgrind_control --zero "$qavd" >/dev/null 2>&1
  before=$(lines "$out")
  sleep "$s"
  callgrind_control --dump "$qavd" >/dev/null 2>&1
  after=$(lines "$out")
  kill -TERM "$qavd"
  wait "$qavd" || true
  echo "$(grep -E '^(summary|totals):' "$work/callgrind.1" | head -n 1 | awk '{ print $2 }') $((after - before))"
}

mqtt=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$mqtt" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" 2>/dev/null &
broker=$!
printf '%-9s %8s %10s %10s %8s %6s %10s %10s %10s %14s\n' batteries "cpu %" "rss KiB" "peak KiB" threads fds \
  "1st scrape" "scrape ms" "page ms" "instr/b-poll"
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
  # The first scrape, then the median of five more a second apart (as Prometheus comes back).
  scrapes=()
  for i in 1 2 3 4 5 6; do
    scrapes+=("$(curl -s -o /dev/null -w '%{time_total}' "http://127.0.0.1:$http/metrics")")
    sleep 1
  done
  first=${scrapes[0]}
  scrape=$(printf '%s\n' "${scrapes[@]:1}" | sort -n | sed -n 3p)
  page=$(curl -s -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$http/" "http://127.0.0.1:$http/api/v1/batteries" |
         awk '{ t += $1 } END { print t }')
  kill -TERM "$qavd"
  wait "$qavd" || true
  # Under valgrind a site starts slowly: a warm-up of 80 s and more with many batteries.
  read -r counted answers <<<"$(instructions $((80 + n / 2)) 60)"
  per=$(( counted / (answers > 0 ? answers : 1) ))
  stop_site
  printf '%-9s %8s %10s %10s %8s %6s %10.1f %10.1f %10.1f %14s\n' "$n" "$cpu" "$rss" "$hwm" "$threads" "$fds" \
    "$(awk -v t="$first" 'BEGIN { print t * 1000 }')" "$(awk -v t="$scrape" 'BEGIN { print t * 1000 }')" "$(awk -v t="$page" 'BEGIN { print t * 1000 }')" "$per"
done
kill "$broker" 2>/dev/null || true
