#!/usr/bin/env bash
# Install into a staging prefix; check the tree, render the manual pages, verify the unit.
# usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d /tmp/qav-stage.XXXXXX)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage" >/dev/null

status=0
for file in bin/qav_test bin/battery_sim bin/plot_datalog share/man/man1/qav_test.1 \
            share/man/man1/battery_sim.1 share/man/man1/plot_datalog.1 lib/systemd/system/qav-monitor.service; do
  [ -e "$stage/$file" ] || { echo "missing: $file"; status=1; }
done
for program in qav_test battery_sim plot_datalog; do
  [ -x "$stage/bin/$program" ] || { echo "not executable: bin/$program"; status=1; }
done

# Every warning groff can give counts as a failure.
for page in "$stage"/share/man/man1/*.1; do
  warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || { echo "$page: $warnings"; status=1; }
  [ -n "$(groff -man -Tutf8 "$page" 2>/dev/null)" ] || { echo "$page renders empty"; status=1; }
done

unit=$stage/lib/systemd/system/qav-monitor.service
grep -q "^ExecStart=$stage/bin/qav_test\$" "$unit" ||
  grep -q "^ExecStart=.*/bin/qav_test\$" "$unit" || { echo "ExecStart does not run qav_test"; status=1; }
if command -v systemd-analyze >/dev/null; then
  # The unit names the configured prefix; check it as installed here.
  sed "s|^ExecStart=.*|ExecStart=$stage/bin/qav_test|" "$unit" >"$stage/qav-monitor.service"
  MANPATH=$stage/share/man systemd-analyze verify "$stage/qav-monitor.service" || status=1
else
  echo "systemd-analyze not found: unit not verified"
fi
[ "$status" -eq 0 ] && echo "install tree, manual pages and unit: good"
exit "$status"
