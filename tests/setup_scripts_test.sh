#!/usr/bin/env bash
# Check the package installer's groups, its messages without root, and the skip counter.
# usage: setup_scripts_test.sh TOOLS_DIR
set -uo pipefail
tools=$1
work=$(mktemp -d /tmp/qav-setup.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
status=0
fail() { echo "FAIL: $*"; status=1; }

# Check one command's exit status, standard output and standard error.
expect() {
  local want_status=$1 want_out=$2 want_err=$3 out err got
  shift 3
  out=$("$@" 2>"$work/err"); got=$?
  err=$(cat "$work/err")
  [ "$got" -eq "$want_status" ] || fail "$*: status $got, not $want_status"
  [ "$out" = "$want_out" ] || fail "$*: stdout [$out], not [$want_out]"
  [ "$err" = "$want_err" ] || fail "$*: stderr [$err], not [$want_err]"
}

# The installer runs as an unprivileged user, with a PATH of the few commands it uses and
# no sudo but the stand-in that $work/bin may hold.
mkdir "$work/bin"
for command in bash env awk dpkg-query grep id basename dirname cat; do
  ln -s "$(command -v "$command")" "$work/bin/$command"
done
cp "$tools/install-packages.sh" "$work/install-packages.sh"
cat >"$work/packages" <<'LIST'
# a list as the project keeps it
[one]
coreutils   # always installed
[two]
  qav-missing-package-a
qav-missing-package-b

LIST
chmod 644 "$work/packages"
asUser() {
  local run=(env PATH="$work/bin" QAV_DEBIAN_PACKAGES="$work/packages" "$work/install-packages.sh" "$@")
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=65534 --regid=65534 --clear-groups -- "${run[@]}"
  else
    "${run[@]}"
  fi
}

expect 0 $'coreutils\nqav-missing-package-a\nqav-missing-package-b' "" asUser --list one two
expect 1 "" "unknown group: three" asUser --list one three
expect 0 "" "" asUser one
expect 1 "install-packages.sh: installing qav-missing-package-a qav-missing-package-b" \
  "install-packages.sh: not root and sudo is not installed; as root run: apt-get install qav-missing-package-a qav-missing-package-b" \
  asUser one two

# A sudo that lets the package lists be updated but refuses the install.
touch "$work/sudo.log"
chmod 666 "$work/sudo.log"
cat >"$work/bin/sudo" <<SUDO
#!$(command -v bash)
echo "\$*" >>"$work/sudo.log"
[[ " \$* " != *" install "* ]]
SUDO
chmod 755 "$work/bin/sudo"
expect 1 "install-packages.sh: installing qav-missing-package-a qav-missing-package-b" \
  "install-packages.sh: could not install qav-missing-package-a qav-missing-package-b; as root run: apt-get install qav-missing-package-a qav-missing-package-b" \
  asUser two
[ "$(cat "$work/sudo.log")" = "env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update
env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends qav-missing-package-a qav-missing-package-b" ] ||
  fail "sudo calls: $(cat "$work/sudo.log")"

# The skip counter over a CTest record holding a pass, a GoogleTest skip with and one
# without a reason, a stand-in test's skip, and a failure whose output mentions skipping.
mkdir -p "$work/build/Testing/Temporary"
cat >"$work/build/Testing/Temporary/LastTest.log" <<'LOG'
1/5 Test: Monitor.Reports
[       OK ] Monitor.Reports (12 ms)
Test Passed.
2/5 Test: Monitor.SendsTwoSyslogRecordsPerAnswer
/src/tests/monitor_test.cpp:157: Skipped
a syslog daemon owns /dev/log, so the records cannot be read here

[  SKIPPED ] Monitor.SendsTwoSyslogRecordsPerAnswer (0 ms)
[  SKIPPED ] 1 test, listed below:
Test Pass Reason:
Skip regular expression found in output. Regex=[\[  SKIPPED \]]
3/5 Test: Soak.Quiet
/src/tests/monitor_soak_test.cpp:81: Skipped

[  SKIPPED ] Soak.Quiet (0 ms)
Skip regular expression found in output. Regex=[\[  SKIPPED \]]
4/5 Test: plot_datalog
[  SKIPPED ] gnuplot is not installed (Debian package gnuplot-nox)
Skip regular expression found in output. Regex=[\[  SKIPPED \]]
5/5 Test: install_tree
missing: bin/qav_test, so nothing was skipped
Test Failed.
LOG
expect 0 "skipped at run time: 3 tests
  Monitor.SendsTwoSyslogRecordsPerAnswer: a syslog daemon owns /dev/log, so the records cannot be read here
  Soak.Quiet: (no reason given)
  plot_datalog: gnuplot is not installed (Debian package gnuplot-nox)" "" "$tools/skipped-tests.sh" "$work/build"
expect 1 "" "skipped-tests.sh: no test run recorded in $work/none/Testing/Temporary/LastTest.log" \
  "$tools/skipped-tests.sh" "$work/none"

[ "$status" -eq 0 ] && echo "installer and skip counter: good"
exit "$status"
