#!/usr/bin/env bash
# Install the missing Debian packages of the named groups of tools/debian-packages.
# usage: install-packages.sh [--list] GROUP...   (--list prints the packages and installs nothing)
set -euo pipefail
list_file=${QAV_DEBIAN_PACKAGES:-$(dirname "$0")/debian-packages}
me=$(basename "$0")

# The packages of the groups given as arguments, one per line; fails on an unknown group.
packagesOf() {
  awk -v wanted=" $* " '
    { sub(/#.*/, ""); gsub(/[ \t]+/, "") }
    /^\[.+\]$/ { group = substr($0, 2, length($0) - 2); seen[group] = 1; next }
    $0 != "" && index(wanted, " " group " ") { print }
    END {
      n = split(wanted, names, " ")
      for (i = 1; i <= n; i++) if (!(names[i] in seen)) { print "unknown group: " names[i] > "/dev/stderr"; bad = 1 }
      exit bad
    }' "$list_file"
}

# True when the package is installed.
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Run apt-get as root: directly when we are root, else through sudo.
aptGet() {
  if [ "$(id -u)" -eq 0 ]; then
    env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
  else
    sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
  fi
}

list_only=false
if [ "${1:-}" = --list ]; then list_only=true; shift; fi
[ "$#" -gt 0 ] || { echo "usage: $me [--list] GROUP..." >&2; exit 2; }
[ -r "$list_file" ] || { echo "$me: cannot read $list_file" >&2; exit 1; }
packages=$(packagesOf "$@") || exit 1
if $list_only; then
  echo "$packages"
  exit 0
fi

missing=()
for package in $packages; do
  installed "$package" || missing+=("$package")
done
[ "${#missing[@]}" -gt 0 ] || exit 0

echo "$me: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null; then
  echo "$me: not root and sudo is not installed; as root run: apt-get install ${missing[*]}" >&2
  exit 1
fi
if ! aptGet update || ! aptGet install -y --no-install-recommends "${missing[@]}"; then
  echo "$me: could not install ${missing[*]}; as root run: apt-get install ${missing[*]}" >&2
  exit 1
fi
