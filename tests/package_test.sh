#!/usr/bin/env bash
# Build the Debian package from a build tree; check its files, fields and lintian; as root,
# install the 0.2.0 package, run a qavd@ instance of it, upgrade to this one, purge.
# usage: package_test.sh SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail

source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
version=$3
# The release operators upgrade from, and the commit its package was built from.
old_version=0.2.0
old_commit=38f4e11dbc3a59dc68fda4b4ff120ee6c48a5da8
package=qav-monitor
work=$(mktemp -d /tmp/qav-package.XXXXXX)
status=0
installed_by_us=no
install_cycle="skipped, not root"
skipped=() # why parts of the test could not run here
# The qavd@ instance the upgrade restarts, its scratch state directory and its page.
instance=pkgtest
state=$work/state
url=
sim=

# Every file the package ships, as dpkg-deb --contents names it; directories aside.
expected_files() {
  cat <<'LIST'
./etc/qavd/example.conf
./lib/systemd/system/qav-monitor.service
./lib/systemd/system/qavd@.service
./usr/bin/battery_sim
./usr/bin/plot_datalog
./usr/bin/qav_test
./usr/bin/qavd
./usr/share/doc/qav-monitor/LICENSE
./usr/share/doc/qav-monitor/README.md.gz
./usr/share/doc/qav-monitor/changelog.gz
./usr/share/doc/qav-monitor/copyright
./usr/share/doc/qav-monitor/examples/grafana-dashboard.json
./usr/share/doc/qav-monitor/examples/mosquitto-bridge.conf
./usr/share/doc/qav-monitor/examples/prometheus-sites.yml
./usr/share/doc/qav-monitor/examples/prometheus.yml
./usr/share/doc/qav-monitor/examples/qav-alerts.yml
./usr/share/doc/qav-monitor/examples/qav-event-notify
./usr/share/doc/qav-monitor/examples/qav-site-rules.yml
./usr/share/doc/qav-monitor/examples/qav-sites-targets.yml
./usr/share/doc/qav-monitor/examples/upsmon-sites.conf
./usr/share/doc/qav-monitor/qavd.md.gz
./usr/share/lintian/overrides/qav-monitor
./usr/share/man/man1/battery_sim.1.gz
./usr/share/man/man1/plot_datalog.1.gz
./usr/share/man/man1/qav_test.1.gz
./usr/share/man/man8/qavd.8.gz
LIST
}

# The files under /etc, which dpkg must keep as the operator edited them.
expected_conffiles() {
  echo /etc/qavd/example.conf
}

# Installed programs that must run and name the version and the licence.
installed_programs_run() {
  local expected program
  expected="VERSION
Copyright (c) 2026 the QAV monitor developers.
MIT licence: see the file LICENSE (installed in /usr/share/doc/qav-monitor)."
  for program in qavd battery_sim plot_datalog; do
    [ "$("/usr/bin/$program" --version 2>&1)" = "${expected/VERSION/$program ${version%%[+~-]*}}" ] ||
      fail "installed $program --version: $("/usr/bin/$program" --version 2>&1)"
  done
}

fail() {
  echo "FAIL: $*"
  status=1
}

cleanup() {
  # Either may have ended already; the rest of the clean-up runs all the same.
  if qavd_running; then kill "$(cat "$state/pid")" || true; fi
  [ -z "$sim" ] || kill "$sim" 2>/dev/null || true
  rm -f "/etc/qavd/$instance.conf"
  if [ "$installed_by_us" = yes ] && dpkg_installed; then
    dpkg_retry --purge "$package" >/dev/null || echo "could not purge $package"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# Something the test needs is missing: in CI that fails it; elsewhere it is skipped, saying so.
cannot_run() {
  echo "$1"
  if [ -n "${CI:-}" ]; then exit 1; fi
  echo "SKIPPED: ${2:-the package cannot be built and checked here}"
  exit 77
}

# A missing tool fails the test in CI; elsewhere the test is skipped, saying so.
require_tools() {
  local missing=() tool
  for tool in cpack dpkg-deb dpkg-shlibdeps lintian file gzip git ninja unshare readelf curl jq python3; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  [ "${#missing[@]}" -eq 0 ] && return
  cannot_run "missing ${missing[*]} (Debian packages dpkg-dev, lintian, file, git, ninja-build, util-linux, binutils, curl, jq, python3)"
}

# Build the old package from its tree (its tag, else the commit) into old_deb; the package is
# kept in the build tree, so only the first run builds it, saying how long that took.
build_old_package() {
  local commit
  commit=$(git -C "$source" rev-parse -q --verify "v$old_version^{commit}") ||
    commit=$(git -C "$source" rev-parse -q --verify "$old_commit^{commit}") ||
    cannot_run "neither the tag v$old_version nor commit $old_commit is in $source (a shallow clone?), so the $old_version package to upgrade from cannot be built: fetch the tags or the full history" \
               "no $old_version tree to build the package to upgrade from"
  local cache=$build/upgrade-from/$commit
  old_deb=$cache/deb/${package}_${old_version}_$(dpkg --print-architecture).deb
  [ -f "$old_deb" ] && return
  rm -rf "$cache" && mkdir -p "$cache/src"
  local started=$SECONDS
  git -C "$source" archive "$commit" | tar -x -C "$cache/src"
  # Without a build type nothing is optimised: the quickest build of a package that runs.
  if ! { cmake -S "$cache/src" -B "$cache/build" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF &&
         cmake --build "$cache/build" -j 2 &&
         cpack --config "$cache/build/CPackConfig.cmake" -B "$cache/deb"; } >"$cache/build.log" 2>&1 ||
     [ ! -f "$old_deb" ]; then
    tail -n 40 "$cache/build.log"
    echo "FAIL: could not build the $old_version package from $commit"
    exit 1
  fi
  echo "built the $old_version package to upgrade from in $((SECONDS - started)) s"
}

# build_package OUT_DIR [VERSION]: run cpack on the build tree, print the .deb's path.
build_package() {
  local out=$1 version=${2:-}
  mkdir -p "$out"
  if ! cpack --config "$build/CPackConfig.cmake" -B "$out" ${version:+-R "$version"} \
       >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log" >&2
    return 1
  fi
  local debs=("$out"/*.deb)
  [ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || { echo "cpack made ${debs[*]}" >&2; return 1; }
  echo "${debs[0]}"
}

check_contents() {
  local deb=$1
  dpkg-deb --contents "$deb" >"$work/contents"
  awk '$1 !~ /^d/ { print $6 }' "$work/contents" | sort >"$work/files"
  expected_files | sort >"$work/expected"
  diff -u "$work/expected" "$work/files" || fail "files differ from the list (- expected, + shipped)"
  # Owner root, programs 0755, everything else 0644.
  awk '$2 != "root/root" { print "owner " $2 " of " $6 }
       $1 ~ /^-/ && $6 ~ /^\.\/usr\/bin\// && $1 != "-rwxr-xr-x" { print "mode " $1 " of " $6 }
       $1 ~ /^-/ && $6 !~ /^\.\/usr\/bin\// && $1 != "-rw-r--r--" { print "mode " $1 " of " $6 }' \
      "$work/contents" >"$work/modes"
  [ ! -s "$work/modes" ] || fail "$(cat "$work/modes")"

  dpkg-deb --extract "$deb" "$work/root"
  local file
  for file in "$work"/root/usr/share/man/man*/*.gz "$work"/root/usr/share/doc/$package/*.gz; do
    gzip -t "$file" || fail "not gzip: ${file#"$work/root"}"
  done
  for file in "$work"/root/usr/bin/*; do
    if file -b "$file" | grep -q ELF && file -b "$file" | grep -q 'not stripped'; then
      fail "not stripped: ${file#"$work/root"}"
    fi
  done
  check_units "$work/root"
  check_hardening "$work/root"
}

# Every program is built the way Debian hardens its packages, as its ELF headers show:
# position-independent, relocations read-only and bound at start, stack protector, checked
# buffer functions.
check_hardening() {
  local root=$1 file name
  for file in "$root"/usr/bin/*; do
    file -b "$file" | grep -q ELF || continue
    name=${file#"$root"}
    readelf -hW "$file" | grep -q 'Type: *DYN' || fail "$name is not position-independent"
    readelf -lW "$file" | grep -q GNU_RELRO || fail "$name has no read-only relocations"
    readelf -dW "$file" | grep -Eq 'FLAGS.*BIND_NOW|FLAGS_1.*NOW' || fail "$name is not bound at start"
    readelf --dyn-syms -W "$file" >"$work/symbols"
    grep -q ' __stack_chk_fail' "$work/symbols" || fail "$name has no stack protector"
    awk '/ __[a-z_]+_chk@/ && !/ __stack_chk_fail@/ { found = 1 } END { exit !found }' "$work/symbols" ||
      fail "$name calls no checked buffer function"
  done
}

# Every unit's ExecStart names a program the package ships.
check_units() {
  local root=$1 unit program
  for unit in "$root"/lib/systemd/system/*.service; do
    program=$(sed -n 's/^ExecStart=[-@+!:]*\([^ ]*\).*/\1/p' "$unit")
    [ -n "$program" ] && [ -x "$root$program" ] ||
      fail "${unit#"$root"} runs '$program', which the package does not ship"
  done
}

# field DEB NAME: one control field.
field() {
  dpkg-deb --field "$1" "$2"
}

check_fields() {
  local deb=$1 version=$2
  [ "$(field "$deb" Package)" = "$package" ] || fail "Package: $(field "$deb" Package)"
  [ "$(field "$deb" Version)" = "$version" ] || fail "Version: $(field "$deb" Version), not $version"
  [ "$(field "$deb" Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "Architecture: $(field "$deb" Architecture)"
  [ "$(basename "$deb")" = "${package}_${version}_$(dpkg --print-architecture).deb" ] ||
    fail "file name $(basename "$deb")"
  [ "$(field "$deb" Section)" = admin ] || fail "Section: $(field "$deb" Section)"
  [ "$(field "$deb" Priority)" = optional ] || fail "Priority: $(field "$deb" Priority)"
  field "$deb" Maintainer | grep -Eq '^[^<]+ <[^@ ]+@[^> ]+>$' || fail "Maintainer: $(field "$deb" Maintainer)"
  field "$deb" Depends | grep -Eq '(^|, )libc6( |,|$)' || fail "Depends lacks libc6: $(field "$deb" Depends)"
  field "$deb" Depends | grep -Eq '(^|, )libstdc\+\+6( |,|$)' ||
    fail "Depends lacks libstdc++6: $(field "$deb" Depends)"
  local needed
  for needed in 'libjs-chart\.js' libmicrohttpd12 libsqlite3-0; do
    field "$deb" Depends | grep -Eq "(^|, )$needed( |,|\$)" || fail "Depends lacks $needed: $(field "$deb" Depends)"
  done
  [ "$(field "$deb" Recommends)" = "gnuplot-nox, libmosquitto1" ] || fail "Recommends: $(field "$deb" Recommends)"
  [ "$(field "$deb" Description | wc -l)" -ge 3 ] || fail "Description has no long part"

  dpkg-deb --info "$deb" >"$work/info"
  local member
  for member in control md5sums postinst prerm postrm; do
    grep -Eq "^ +[0-9]+ bytes, +[0-9]+ lines +(\* +)?$member( |$)" "$work/info" || fail "control member $member missing"
  done
  rm -rf "$work/control" && mkdir "$work/control"
  dpkg-deb --control "$deb" "$work/control"
  touch "$work/control/conffiles"
  [ "$(cat "$work/control/conffiles")" = "$(expected_conffiles)" ] ||
    fail "conffiles: $(cat "$work/control/conffiles")"
  for member in postinst prerm postrm; do
    [ -x "$work/control/$member" ] || fail "$member is not executable"
    sh -n "$work/control/$member" || fail "$member: syntax error"
  done
}

check_lintian() {
  local deb=$1
  # Errors and warnings fail; an override shipped with the package silences one.
  if ! lintian --fail-on error,warning "$deb"; then
    fail "lintian reports errors or warnings"
  fi
  # Its hardening checks report at the level info, which --fail-on does not see.
  if lintian --display-info "$deb" | grep -E 'hardening-'; then
    fail "lintian reports missing hardening"
  fi
}

dpkg_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" = installed ]
}

# What dpkg_retry runs dpkg under (see upgrade_as_under_systemd).
dpkg_prefix=(env)

# dpkg has no lock timeout: wait while someone else's dpkg or apt holds its lock.
dpkg_retry() {
  local try output
  for try in $(seq 1 60); do
    if output=$("${dpkg_prefix[@]}" dpkg "$@" </dev/null 2>&1); then
      printf '%s\n' "$output"
      return 0
    fi
    grep -Eq 'lock was locked by another process|is locked by another process' <<<"$output" ||
      { printf '%s\n' "$output" >&2; return 1; }
    echo "dpkg is locked, try $try of 60" >&2
    sleep 5
  done
  return 1
}

# Each installed unit as systemd would load it: its program and manual pages are found.
verify_installed_units() {
  if ! command -v systemd-analyze >/dev/null; then
    if [ -n "${CI:-}" ]; then fail "systemd-analyze not found (Debian package systemd)"; return; fi
    skipped+=("systemd-analyze is not installed (Debian package systemd): installed units not verified")
    return
  fi
  local unit
  for unit in $(expected_files | sed -n 's|^\./lib/systemd/system/|/lib/systemd/system/|p'); do
    # A template is checked through an instance of it.
    systemd-analyze verify "${unit/@.service/@check.service}" || fail "systemd-analyze verify ${unit##*/}"
  done
}

# The qavd@ instance as systemd runs it (the installed unit's ExecStart, with --history on a
# scratch file, in a clean environment), and a systemctl that records what it is asked and does
# to that instance what systemd would: stop ends it with SIGTERM, try-restart starts it again.
write_service_tools() {
  mkdir -p "$work/bin" "$state"
  { printf '#!/bin/sh\nstate=%s instance=%s\n' "$state" "$instance"
    cat <<'RUN'
cd "$state" || exit 1
echo $$ >"$state/pid"
exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin $(sed -n "s/^ExecStart=//; T; s/%i/$instance/g; p" \
  /lib/systemd/system/qavd@.service) --history "$state/$instance.db" >>"$state/log" 2>&1
RUN
  } >"$work/bin/qavd-instance"
  { printf '#!/bin/sh\nwork=%s state=%s\n' "$work" "$state"
    cat <<'CTL'
echo "$*" >>"$work/systemctl.log"
case "$1 $*" in stop*'qavd@*.service'* | try-restart*'qavd@*.service'*) ;; *) exit 0 ;; esac
pid=$(cat "$state/pid" 2>/dev/null) || exit 0
# A qavd that has not ended (a zombie has); never another program that took its PID.
running() { [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = qavd ] && ! grep -q ') Z ' "/proc/$pid/stat"; }
running || exit 0
kill -TERM "$pid"
for try in $(seq 1 100); do running || break; sleep 0.1; done
if running; then echo "qavd $pid is still running 10 s after SIGTERM" >>"$state/log"; exit 1; fi
[ "$1" = stop ] || setsid "$work/bin/qavd-instance" </dev/null >/dev/null 2>&1 9>&- &
CTL
  } >"$work/bin/systemctl"
  printf '#!/bin/sh\nexit 0\n' >"$work/bin/policy-rc.d"
  chmod 755 "$work/bin/qavd-instance" "$work/bin/systemctl" "$work/bin/policy-rc.d"
}

# systemd is not PID 1 here, so dpkg runs in a private mount namespace that looks like a
# systemd host (/run/systemd/system exists; policy-rc.d, as a container may ship, allows
# restarts) with the systemctl of write_service_tools.
# usage: dpkg_as_under_systemd DPKG_ARGUMENT...
dpkg_as_under_systemd() {
  : >"$work/systemctl.log"
  dpkg_prefix=(unshare -m --propagation private sh -c '
    mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system || exit 1
    if [ -e /usr/sbin/policy-rc.d ]; then mount --bind "$0/policy-rc.d" /usr/sbin/policy-rc.d || exit 1; fi
    PATH=$0:$PATH exec "$@"' "$work/bin")
  local status=0
  dpkg_retry "$@" >/dev/null || status=$?
  dpkg_prefix=(env)
  return "$status"
}

# expect_systemctl WHAT CALL...: the calls of systemctl that dpkg_as_under_systemd recorded.
expect_systemctl() {
  local what=$1
  shift
  printf '%s\n' "$@" >"$work/systemctl.expected"
  diff -u "$work/systemctl.expected" "$work/systemctl.log" ||
    fail "the calls of systemctl on $what differ (- expected, + made)"
}

# Whether the instance's qavd runs (a zombie has ended); never another program that took its PID.
qavd_running() {
  local pid
  pid=$(cat "$state/pid" 2>/dev/null) && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = qavd ] &&
    ! grep -q ') Z ' "/proc/$pid/stat"
}

# A free TCP port on loopback.
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# api PATH: what the instance answers at PATH, waiting at most 5 s.
api() { curl -sf --max-time 5 "$url$1"; }

# wait_for PATH JQ_TEST: poll the instance's PATH for up to a minute until its JSON passes JQ_TEST.
wait_for() {
  local try
  for try in $(seq 1 120); do
    api "$1" | jq -e "$2" >/dev/null 2>&1 && return 0
    sleep 0.5
  done
  fail "no $1 with $2 within a minute: $(api "$1"; tail -n 5 "$state/log" "$state/sim.log")"
  return 1
}

# The points of the instance's history as "time gauge" lines, up to time $1.
history_points() {
  api '/api/v1/history?seconds=3600' | jq -r --argjson upto "$1" \
    '(.fields | index("gas_gauge_percent")) as $g | .points[] | select(.[0] <= $upto) | "\(.[0]) \(.[$g])"'
}

# Run the old release's qavd@ instance on a simulated battery that discharges for 12 s (360 s
# at 30 times the speed) and then rests, until it has recorded an outage, learned a capacity and
# kept half a minute of history; keep what it shows in $state/old.*.
start_old_instance() {
  local sim_port http_port try
  "$build/battery_sim" --port 0 --capacity 60 --speed 30 --profile "360:-20, 100000:+0" \
    >/dev/null 2>"$state/sim.log" 9>&- &
  sim=$!
  for try in $(seq 1 50); do
    sim_port=$(sed -n '1s/^battery_sim: serving tcp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$state/sim.log")
    [ -z "$sim_port" ] || break
    sleep 0.1
  done
  http_port=$(free_port) && [ -n "$sim_port" ] || { fail "no simulator or free port: $(cat "$state/sim.log")"; return 1; }
  printf 'address = "tcp:127.0.0.1:%s"\ninterval = 1\noutage-min = 2\nhttp-listen = "127.0.0.1:%s"\noutput = "none"\n' \
    "$sim_port" "$http_port" | tee "$state/old.conf" >"/etc/qavd/$instance.conf"
  url=http://127.0.0.1:$http_port
  setsid "$work/bin/qavd-instance" </dev/null >/dev/null 2>&1 9>&- &
  wait_for /api/v1/outages '.outages[0].end != null' &&
    wait_for /api/v1/state '.capacity_source == "learned" and .current_amperes == 0' &&
    wait_for '/api/v1/history?seconds=3600' '.points | length >= 7' || return 1
  cp "$state/pid" "$state/old.pid"
  api /api/v1/state | jq -r .capacity_ah >"$state/old.capacity"
  api /api/v1/outages | jq -c '.outages[0]' >"$state/old.outage"
  # The newest bucket is still filling; the ones before it are whole.
  history_points "$(date -d -6sec +%s)" >"$state/old.history" && [ -s "$state/old.history" ] ||
    { fail "no whole history bucket from $old_version"; return 1; }
}

# The instance runs the new qavd from the same config file, and shows the history, the outage
# and the learned capacity the old one recorded.
check_instance_kept() {
  wait_for /api/v1/state '.fresh' || return
  local pid
  pid=$(cat "$state/pid")
  [ "$pid" != "$(cat "$state/old.pid")" ] || fail "the upgrade did not restart qavd@$instance"
  [ "$(tr '\0' ' ' <"/proc/$pid/cmdline")" = "/usr/bin/qavd --config /etc/qavd/$instance.conf --name $instance --history $state/$instance.db " ] ||
    fail "qavd@$instance runs as $(tr '\0' ' ' <"/proc/$pid/cmdline")"
  cmp -s "/etc/qavd/$instance.conf" "$state/old.conf" || fail "the upgrade changed /etc/qavd/$instance.conf"
  local metrics
  metrics=$(api /metrics) || metrics=
  grep -qxF "qav_build_info{battery=\"$instance\",version=\"${version%%[+~-]*}\"} 1" <<<"$metrics" ||
    fail "qavd@$instance is not $version: $(grep qav_build_info <<<"$metrics")"
  api /api/v1/state | jq -e --arg ah "$(cat "$state/old.capacity")" \
    '.capacity_ah == ($ah | tonumber) and .capacity_source == "learned"' >/dev/null ||
    fail "the learned capacity of $(cat "$state/old.capacity") Ah is lost: $(api /api/v1/state)"
  api /api/v1/outages | jq -e --argjson old "$(cat "$state/old.outage")" \
    'any(.outages[]; . as $o | $old | to_entries | all($o[.key] == .value))' >/dev/null ||
    fail "the outage $(cat "$state/old.outage") is lost: $(api /api/v1/outages)"
  local last
  last=$(tail -n 1 "$state/old.history" | cut -d ' ' -f 1)
  history_points "${last:-0}" | diff -u "$state/old.history" - || fail "the history before the upgrade differs (- old, + new)"
  [ "$status" -ne 0 ] || echo "the upgrade from $old_version kept $(wc -l <"$state/old.history") history rows, the outage and the learned $(cat "$state/old.capacity") Ah"
}

# Install the old package, edit the conffile, run an instance, upgrade, purge: the operator's
# edit survives, the running instance is restarted on the new qavd and keeps what it had,
# nothing stays.
check_install_cycle() {
  local deb=$1
  if [ "$(id -u)" -ne 0 ]; then
    skipped+=("install, upgrade and purge need root")
    return
  fi
  install_cycle=checked
  exec 9>/tmp/qav_dpkg.lock
  flock -w 600 9 || { fail "another package test holds /tmp/qav_dpkg.lock"; return; }

  if dpkg-query -W "$package" >/dev/null 2>&1; then
    dpkg_retry --purge "$package" >/dev/null || { fail "could not purge an earlier $package"; return; }
  fi
  installed_by_us=yes
  write_service_tools
  dpkg_retry -i "$old_deb" >/dev/null || { fail "dpkg -i $(basename "$old_deb")"; return; }
  [ "$(dpkg-query -W -f='${Version}' "$package")" = "$old_version" ] || fail "$old_version is not installed"
  local conffile edit="# edited on site by the package test $$"
  for conffile in $(expected_conffiles); do
    dpkg-query -W -f='${Conffiles}\n' "$package" | grep -q "^ $conffile " ||
      fail "dpkg does not keep $conffile as a conffile"
    echo "$edit" >>"$conffile"
  done
  start_old_instance || return

  # As unattended upgrades do: keep the operator's conffile, never ask.
  dpkg_as_under_systemd --force-confdef --force-confold -i "$deb" || { fail "dpkg -i $(basename "$deb") over $old_version"; return; }
  [ "$(dpkg-query -W -f='${Version}' "$package")" = "$version" ] ||
    fail "upgrade from $old_version did not install $version"
  check_instance_kept
  for conffile in $(expected_conffiles); do
    grep -qxF "$edit" "$conffile" || fail "the upgrade overwrote the edited $conffile"
    # The package's new version lands beside it when it changed since the old release.
    cmp -s "$conffile.dpkg-dist" "$work/root$conffile" || fail "no new $conffile.dpkg-dist beside the edited file"
    rm -f "$conffile.dpkg-dist"
  done
  local path
  for path in $(expected_files); do
    [ -f "${path#.}" ] || fail "missing after the upgrade: ${path#.}"
  done
  expect_systemctl "upgrade" "--system daemon-reload" "try-restart qav-monitor.service qavd@*.service"
  installed_programs_run
  verify_installed_units
  # Upgrading this version to itself: its prerm leaves the services running.
  dpkg_as_under_systemd --force-confdef --force-confold -i "$deb" || fail "dpkg -i $(basename "$deb") again"
  expect_systemctl "upgrade to the same version" "--system daemon-reload" \
    "try-restart qav-monitor.service qavd@*.service"

  # Removal stops the service and every qavd@ instance first; the operator's own file goes by hand.
  rm -f "/etc/qavd/$instance.conf"
  dpkg_as_under_systemd --purge "$package" || { fail "dpkg --purge"; return; }
  ! qavd_running || fail "qavd@$instance still runs after the purge"
  expect_systemctl "purge" "stop qav-monitor.service qavd@*.service" "--system daemon-reload" \
    "--system daemon-reload"
  installed_by_us=no
  for path in $(expected_files) ./etc/qavd ./usr/share/doc/$package; do
    if [ -e "${path#.}" ] || [ -L "${path#.}" ]; then
      fail "left behind after purge: ${path#.}"
    fi
  done
  if dpkg-query -W "$package" >/dev/null 2>&1; then
    fail "dpkg still knows $package after purge"
  fi
}

main() {
  require_tools
  local deb
  deb=$(build_package "$work/deb") || exit 1
  check_contents "$deb"
  check_fields "$deb" "$version"
  check_lintian "$deb"
  if [ "$(id -u)" -eq 0 ]; then
    build_old_package
  fi
  check_install_cycle "$deb"
  if [ "$status" -eq 0 ]; then
    echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes; Depends: $(field "$deb" Depends)"
    echo "package files, fields and lintian: good; install, upgrade and purge: $install_cycle"
  fi
  # What could not be checked makes the test count as skipped, not passed.
  if [ "$status" -eq 0 ] && [ "${#skipped[@]}" -gt 0 ]; then
    printf 'SKIPPED: %s\n' "${skipped[@]}"
    exit 77
  fi
  exit "$status"
}

main
