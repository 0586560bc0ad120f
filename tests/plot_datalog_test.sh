#!/usr/bin/env bash
# Plot a data log and check the PNG; check the errors for missing, empty and foreign input.
# usage: plot_datalog_test.sh PLOT_DATALOG
set -uo pipefail
plot=$1
work=$(mktemp -d /tmp/qav-plot.XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

log=$work/1796699894qav.log
cat >"$log" <<'LOG'
1796699894,85.00,-1.00,45, 5, 0,12,8000
1796699899,85.10,12.84,41, 4, 0, 0,8400
not a data log line
1796699905,85.20,12.90,42, 0, 0, 0,8400
1796699910,85.30,-8.75,43, 0, 1, 0,8208
1796699916,85.20,-9.01,44,ff,1234, 0,8200
LOG
err=$("$plot" -o "$work/chart.png" "$log" 2>&1 >/dev/null) || fail "plot failed: $err"
[ "$(head -c 8 "$work/chart.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "not a PNG"
# IHDR width and height, big-endian at bytes 16 to 23: 1200 x 900.
[ "$(od -An -tx1 -j16 -N8 "$work/chart.png" | tr -d ' \n')" = 000004b000000384 ] || fail "not 1200x900"
[ "$(stat -c %s "$work/chart.png")" -gt 10000 ] || fail "chart too small to hold three panels"
[[ $err == *"skipped 1 of 6 lines that are not data log lines"* ]] || fail "skip count: $err"
[[ $err == *"5 lines drawn into $work/chart.png"* ]] || fail "drawn count: $err"

# Without -o the chart lands beside the log.
"$plot" "$log" 2>/dev/null && [ -s "$work/1796699894qav.png" ] || fail "default output name"

err=$("$plot" "$work/missing.log" 2>&1) && fail "missing file accepted"
[ "$err" = "plot_datalog: $work/missing.log: cannot read it" ] || fail "missing file message: $err"
: >"$work/empty.log"
err=$("$plot" "$work/empty.log" 2>&1) && fail "empty log accepted"
[ "$err" = "plot_datalog: no data log lines in $work/empty.log" ] || fail "empty log message: $err"
printf 'hello\nworld\n' >"$work/foreign.log"
err=$("$plot" "$work/foreign.log" 2>&1) && fail "foreign file accepted"
[[ $err == *"skipped 2 of 2 lines"*"no data log lines"* ]] || fail "foreign file message: $err"

[ "$status" -eq 0 ] && echo "plot_datalog: chart and errors as expected"
exit "$status"
