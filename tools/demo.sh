#!/usr/bin/env bash
# demo: install what building needs, build, then run the simulated battery and qavd with
# its status page, metrics and NUT server on loopback until Ctrl-C.
# usage: tools/demo.sh [--monitor]   (--monitor: the console monitor qav_test instead)
# The ports: QAV_DEMO_HTTP (default 9788) and QAV_DEMO_NUT (default 3493), on 127.0.0.1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
monitor=no
case "${1:-}" in
  "") ;;
  --monitor) monitor=yes ;;
  *) echo "usage: tools/demo.sh [--monitor]" >&2; exit 2 ;;
esac
http_port=${QAV_DEMO_HTTP:-9788}
nut_port=${QAV_DEMO_NUT:-3493}

"$root/tools/install-packages.sh" build
scratch=$(mktemp -d /tmp/qav-demo.XXXXXX)
# The configure step's warnings about tools only the tests use are kept out of the way.
if ! cmake --preset dev >"$scratch/configure.log" 2>&1; then
  cat "$scratch/configure.log" >&2
  exit 1
fi
cmake --build --preset dev --target battery_sim "$([ "$monitor" = yes ] && echo qav_test || echo qavd)"

pids=()
stop() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo
  echo "demo ended; its logs are kept in $scratch"
}
trap stop EXIT
trap 'exit 130' INT TERM

# wait_for_port PORT PID LOG: until something listens on 127.0.0.1:PORT; the log if PID ends.
wait_for_port() {
  local try
  for try in $(seq 1 50); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    kill -0 "$2" 2>/dev/null || { cat "$3" >&2; exit 1; }
    sleep 0.1
  done
  echo "nothing answers on 127.0.0.1:$1; see $3" >&2
  exit 1
}

# The monitor gets the simulator's counting battery; qavd gets a 20 Ah battery played ten times
# faster, with an outage (20 A, then 30 A) every three and a half minutes.
sim_args=()
[ "$monitor" = yes ] || sim_args=(--capacity 20 --speed 10)
"$root/build/dev/battery_sim" "${sim_args[@]}" 2>"$scratch/battery_sim.log" &
pids+=($!)
wait_for_port 10001 "${pids[0]}" "$scratch/battery_sim.log"

if [ "$monitor" = yes ]; then
  echo "monitor running in $scratch against the simulator on 127.0.0.1:10001; Ctrl-C stops both"
  cd "$scratch"
  "$root/build/dev/qav_test"
  exit
fi

"$root/build/dev/qavd" --address tcp:127.0.0.1:10001 --name battery --interval 2 --timeout 1 \
  --output none --http-listen "127.0.0.1:$http_port" --nut-listen "127.0.0.1:$nut_port" \
  2>"$scratch/qavd.log" &
pids+=($!)
wait_for_port "$http_port" "${pids[1]}" "$scratch/qavd.log"
wait_for_port "$nut_port" "${pids[1]}" "$scratch/qavd.log"
cat <<TEXT
qavd is polling the simulated battery on 127.0.0.1:10001 every 2 s. The battery is played ten
times faster, with an outage every 3.5 minutes; qavd learns its capacity from the first 2 % of
charge it sees go, then shows the time left (in real seconds, so ten times shorter).
  status page:  http://127.0.0.1:$http_port/
  metrics:      curl http://127.0.0.1:$http_port/metrics
  NUT:          upsc battery@127.0.0.1:$nut_port
Ctrl-C stops qavd and the simulator; their logs are in $scratch.
TEXT
command -v upsc >/dev/null || echo "(upsc comes with Debian's nut-client package, which the demo does not install)"
wait "${pids[1]}"
