#!/usr/bin/env bash
# Run one fuzz target for a bounded time from the committed seeds; fails on any finding.
# usage: run.sh TARGET SECONDS SEED_DIR
set -euo pipefail
target=$1 seconds=$2 seeds=$3
work=$(mktemp -d /tmp/fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
# New inputs go to the scratch corpus; the committed seeds are only read. The
# target's own stdout and stderr (receive progress, error lines) are muted.
if ! "$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 -close_fd_mask=3 \
     -artifact_prefix="$work/" "$work/corpus" "$seeds" >"$work/log" 2>&1; then
  tail -n 60 "$work/log"
  for crash in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
    [ -e "$crash" ] && { echo "finding: $crash"; od -c "$crash" | head -n 20; }
  done
  exit 1
fi
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$work/log"
echo "corpus: $(ls "$work/corpus" | wc -l) new inputs"
