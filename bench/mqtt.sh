#!/usr/bin/env bash
# qavd's cost of publishing to MQTT, against the simulator and a mosquitto broker of
# its own on free loopback ports, JSON output and a data log on in every run:
# instructions per poll cycle (callgrind, a long run less a short one, so start-up
# and exit cancel out) with MQTT off and on, and peak resident memory (VmHWM) with
# MQTT on after SHORT and LONG polls at 0.1 s, and after a broker sent one packet of 200,000,000
# bytes (HUGE_ONLY=1 measures only that, without valgrind).
# usage: bench/mqtt.sh [BUILD_DIR] [SHORT] [LONG]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/ci}" && pwd)
short=${2:-100}
long=${3:-1000}
[ "${HUGE_ONLY:-}" = 1 ] || command -v valgrind >/dev/null || { echo "mqtt.sh: valgrind is not installed" >&2; exit 1; }
[ -x /usr/sbin/mosquitto ] || { echo "mqtt.sh: mosquitto is not installed" >&2; exit 1; }
work=$(mktemp -d /tmp/qav-mqtt-bench.XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

# A broker on a free port (a random one, tried until one is free).
for _ in $(seq 20); do
  broker_port=$(shuf -i 20000-60000 -n 1)
  ss -Htln "sport = :$broker_port" | grep -q . && continue
  { [ "$(id -u)" = 0 ] && echo "user root"
    printf 'persistence false\nlistener %s 127.0.0.1\nallow_anonymous true\n' "$broker_port"; } >"$work/broker.conf"
  /usr/sbin/mosquitto -c "$work/broker.conf" 2>"$work/broker.log" &
  pids+=($!)
  for _ in $(seq 50); do ss -Htln "sport = :$broker_port" | grep -q . && break 2; sleep 0.1; done
done
ss -Htln "sport = :$broker_port" | grep -q . || { echo "mqtt.sh: the broker did not start" >&2; exit 1; }

"$build/battery_sim" --port 0 2>"$work/sim.log" &
pids+=($!)
for _ in $(seq 50); do grep -q serving "$work/sim.log" && break; sleep 0.1; done
sim_port=$(grep -o '127.0.0.1:[0-9]*' "$work/sim.log" | head -n 1 | cut -d: -f2)
[ -n "$sim_port" ] || { echo "mqtt.sh: the simulator did not start" >&2; exit 1; }

# Run qavd (under $runner when set) with a data log and the given options.
start_qavd() {
  local out=$1; shift
  mkdir -p "$work/log.$out"
  ${runner:-} "$build/qavd" --address "tcp:127.0.0.1:$sim_port" --name bench --interval 0.1 --timeout 0.09 \
    --datalog "$work/log.$out" "$@" >"$work/$out" 2>"$work/$out.err" &
  qavd=$!
}

# Wait until qavd's standard output file $2 holds $1 answers.
wait_answers() {
  until [ "$(grep -c '"battery":"bench"' "$work/$2" || true)" -ge "$1" ]; do
    kill -0 "$qavd" 2>/dev/null || { echo "mqtt.sh: qavd ended: $(cat "$work/$2.err")" >&2; exit 1; }
    sleep 0.05
  done
}

stop_qavd() { kill -TERM "$qavd"; wait "$qavd" || true; }

# Instructions of a run stopped after $1 answers, and its answer count: "instructions answers".
instructions() {
  local answers=$1 name=$2; shift 2
  runner="valgrind --tool=callgrind --callgrind-out-file=$work/callgrind.$name"
  start_qavd "$name" "$@"
  wait_answers "$answers" "$name"
  stop_qavd
  echo "$(grep -E '^(summary|totals):' "$work/callgrind.$name" | head -n 1 | awk '{ print $2 }')" \
       "$(grep -c '"battery":"bench"' "$work/$name")"
}

per_cycle() {
  local mqtt=$1; shift
  read -r i1 n1 < <(instructions 10 "mqtt-$mqtt.10" "$@")
  read -r i2 n2 < <(instructions 60 "mqtt-$mqtt.60" "$@")
  echo "instructions per poll cycle, MQTT $mqtt: $(( (i2 - i1) / (n2 - n1) )) ($n1 polls: $i1; $n2 polls: $i2)"
}

# VmHWM of one run after $short and after $long answers.
peak_memory() {
  local mqtt=$1; shift
  runner=""
  start_qavd "rss.$mqtt" "$@"
  wait_answers "$short" "rss.$mqtt"
  local at_short; at_short=$(awk '/VmHWM/ { print $2 }' "/proc/$qavd/status")
  wait_answers "$long" "rss.$mqtt"
  local at_long; at_long=$(awk '/VmHWM/ { print $2 }' "/proc/$qavd/status")
  stop_qavd
  echo "peak resident memory, MQTT $mqtt: $at_short KiB after $short polls, $at_long KiB after $long"
}

# VmHWM once a stand-in broker has accepted qavd and sent it one PUBLISH of 200,000,000 bytes
# (0x80 0xc2 0xae 0x5f in MQTT's length digits), or as much of it as qavd took before it closed.
huge_packet() {
  python3 -c '
import os, socket, sys
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
os.rename(sys.argv[1] + ".tmp", sys.argv[1] + ".port")
peer, _ = listener.accept()
peer.recv(4096)
sent, chunk = 0, bytes(65536)
try:
    peer.sendall(b"\x20\x02\x00\x00\x30\x80\xc2\xae\x5f")
    while sent < 200000000:
        part = chunk[:min(len(chunk), 200000000 - sent)]
        peer.sendall(part)
        sent += len(part)
except OSError:
    pass
with open(sys.argv[1] + ".sent", "w") as f:
    f.write(str(sent))
' "$work/huge" &
  local broker=$!
  pids+=("$broker")
  until [ -s "$work/huge.port" ]; do sleep 0.05; done
  runner=""
  start_qavd huge --mqtt-broker "127.0.0.1:$(cat "$work/huge.port")"
  wait "$broker" || true
  sleep 2 # what the kernel still held reaches qavd
  local peak; peak=$(awk '/VmHWM/ { print $2 }' "/proc/$qavd/status")
  stop_qavd
  echo "peak resident memory after a broker's packet of 200,000,000 bytes: $peak KiB" \
       "($(cat "$work/huge.sent") bytes of it sent)"
}

if [ "${HUGE_ONLY:-}" = 1 ]; then huge_packet; exit 0; fi

per_cycle off
per_cycle on --mqtt-broker "127.0.0.1:$broker_port"
per_cycle on-with-metrics --mqtt-broker "127.0.0.1:$broker_port" --metrics-listen 127.0.0.1:0
peak_memory off
peak_memory on --mqtt-broker "127.0.0.1:$broker_port"
peak_memory on-with-metrics --mqtt-broker "127.0.0.1:$broker_port" --metrics-listen 127.0.0.1:0
huge_packet
