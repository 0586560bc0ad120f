#!/usr/bin/env bash
# demo: install what building needs, build, then watch the monitor poll the simulated
# battery until Ctrl-C.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/tools/install-packages.sh" build
scratch=$(mktemp -d /tmp/qav-demo.XXXXXX)
# The configure step's warnings about tools only the tests use are kept out of the way.
if ! cmake --preset dev >"$scratch/configure.log" 2>&1; then
  cat "$scratch/configure.log" >&2
  exit 1
fi
cmake --build --preset dev --target qav_test battery_sim

"$root/build/dev/battery_sim" 2>"$scratch/battery_sim.log" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; echo; echo "demo ended; data log and simulator log kept in $scratch"' EXIT
sleep 0.5
if ! kill -0 "$sim" 2>/dev/null; then
  cat "$scratch/battery_sim.log" >&2
  exit 1
fi

echo "monitor running in $scratch against the simulator on 127.0.0.1:10001; Ctrl-C stops both"
cd "$scratch"
"$root/build/dev/qav_test"
