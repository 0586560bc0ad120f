#!/bin/sh
# isolated: run a test program in network and mount namespaces of its own, with loopback up
# and a /dev of its own, so port 10001 and /dev/log are the test's whatever else runs on the
# host (a demo, another checkout's tests). Only root may make them: anyone else runs the
# program as it is, and the tests' lock keeps them from each other.
# usage: isolated.sh PROGRAM [ARGUMENT...]
if [ -n "${QAV_ISOLATED:-}" ] || [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null ||
   ! command -v ip >/dev/null || ! unshare --net --mount true 2>/dev/null; then
  exec "$@"
fi
QAV_ISOLATED=1 exec unshare --net --mount --fork sh -ec '
  mount --make-rprivate /
  ip link set lo up
  # The host /dev stays reachable under a private mount point for the devices tests open.
  host=$(mktemp -d /tmp/qav-isolated-dev.XXXXXX)
  mount --rbind /dev "$host"
  mount -t tmpfs -o mode=755 tmpfs /dev
  for name in null zero full random urandom tty; do
    if [ -e "$host/$name" ]; then touch "/dev/$name" && mount --bind "$host/$name" "/dev/$name"; fi
  done
  # Pseudo-terminals of its own, whatever the devpts of the host allows.
  mkdir /dev/pts /dev/shm
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts /dev/pts
  ln -s pts/ptmx /dev/ptmx
  mount -t tmpfs -o mode=1777 tmpfs /dev/shm
  ln -s /proc/self/fd /dev/fd
  ln -s /proc/self/fd/0 /dev/stdin
  ln -s /proc/self/fd/1 /dev/stdout
  ln -s /proc/self/fd/2 /dev/stderr
  umount -l "$host" && rmdir "$host"
  exec "$@"' isolated "$@"
