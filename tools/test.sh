#!/usr/bin/env bash
# The test command: install what the suite needs, configure, build and run every test
# (the ci preset unless another is named), then count the tests skipped at run time.
# usage: tools/test.sh [PRESET]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
preset=${1:-ci}
"$root/tools/install-packages.sh" build test
# A failed configure leaves no record of a run; an older one must not be counted.
rm -f "$root/build/$preset/Testing/Temporary/LastTest.log"
status=0
cmake --workflow --preset "$preset" || status=$?
if [ -e "$root/build/$preset/Testing/Temporary/LastTest.log" ]; then
  "$root/tools/skipped-tests.sh" "$root/build/$preset"
fi
exit "$status"
