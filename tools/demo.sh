#!/usr/bin/env bash
# demo: install what building needs, build, then run a site of three simulated batteries and
# qavd with its status page, metrics and NUT server on loopback until Ctrl-C.
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

# The monitor gets the simulator's counting battery on port 10001. qavd gets a site of three:
# rack1, a 20 Ah battery played ten times faster, with an outage (20 A, then 30 A) every three
# and a half minutes; rack2, whose temperature alert is raised from its fifth answer on; rack3,
# the counting battery.
if [ "$monitor" = yes ]; then
  "$root/build/dev/battery_sim" 2>"$scratch/battery_sim.log" &
  pids+=($!)
  wait_for_port 10001 "${pids[0]}" "$scratch/battery_sim.log"
  echo "monitor running in $scratch against the simulator on 127.0.0.1:10001; Ctrl-C stops both"
  cd "$scratch"
  "$root/build/dev/qav_test"
  exit
fi

sims=("--capacity 20 --speed 10" "--temp-alert 01 --alarm-from 5 --seed 2" "--seed 3")
for i in 0 1 2; do
  # shellcheck disable=SC2086 # each battery's arguments are words
  "$root/build/dev/battery_sim" --port $((10001 + i)) ${sims[$i]} 2>"$scratch/battery_sim$((i + 1)).log" &
  pids+=($!)
  wait_for_port $((10001 + i)) "${pids[$i]}" "$scratch/battery_sim$((i + 1)).log"
done

cat >"$scratch/site.conf" <<CONF
# The demo's site: three batteries on one qavd.
interval = "2s"
timeout = "1s"
output = "none"
http-listen = "127.0.0.1:$http_port"
nut-listen = "127.0.0.1:$nut_port"
[rack1]
address = "tcp:127.0.0.1:10001"
[rack2]
address = "tcp:127.0.0.1:10002"
[rack3]
address = "tcp:127.0.0.1:10003"
CONF
"$root/build/dev/qavd" --config "$scratch/site.conf" --name demo 2>"$scratch/qavd.log" &
pids+=($!)
wait_for_port "$http_port" "${pids[3]}" "$scratch/qavd.log"
wait_for_port "$nut_port" "${pids[3]}" "$scratch/qavd.log"
cat <<TEXT
qavd is polling a site of three simulated batteries (127.0.0.1:10001 to 10003) every 2 s,
configured by $scratch/site.conf. rack1 is played ten times faster, with an outage every 3.5
minutes; qavd learns its capacity from the first 2 % of charge it sees go, then shows the time
left (in real seconds, so ten times shorter). rack2 raises a temperature alert.
  the site:     http://127.0.0.1:$http_port/
  metrics:      curl http://127.0.0.1:$http_port/metrics
  NUT:          upsc -l 127.0.0.1:$nut_port; upsc rack1@127.0.0.1:$nut_port
Ctrl-C stops qavd and the simulator; their logs are in $scratch.
TEXT
command -v upsc >/dev/null || echo "(upsc comes with Debian's nut-client package, which the demo does not install)"
wait "${pids[1]}"
