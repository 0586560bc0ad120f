#!/usr/bin/env bash
# Count the tests that CTest's last run in BUILD_DIR reported as skipped, each with its reason.
# usage: skipped-tests.sh BUILD_DIR
set -euo pipefail
log=${1:?usage: skipped-tests.sh BUILD_DIR}/Testing/Temporary/LastTest.log
[ -r "$log" ] || { echo "skipped-tests.sh: no test run recorded in $log" >&2; exit 1; }

# A GoogleTest skip prints "FILE:LINE: Skipped" and the reason on the next line; other
# tests print "[  SKIPPED ] reason". CTest marks a skip "Skip regular expression found".
awk '
  /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); reason = ""; next_is_reason = 0; next }
  next_is_reason { reason = $0 == "" ? "(no reason given)" : $0; next_is_reason = 0; next }
  /: Skipped$/ && reason == "" { next_is_reason = 1; next }
  /^\[  SKIPPED \] / && reason == "" { reason = substr($0, 14); next }
  /^Skip regular expression found in output/ { skipped[++count] = name ": " reason }
  END {
    printf "skipped at run time: %d test%s\n", count, count == 1 ? "" : "s"
    for (i = 1; i <= count; i++) print "  " skipped[i]
  }' "$log"
