#!/usr/bin/env bash
# Makes the Debian 12 root that the systemd tests boot with systemd-nspawn, once per build
# tree: BUILD_TREE/systemd-root, reused while its stamp names the same suite and packages.
# The stamp is written last, so a root that an interrupted run left half-made is made again.
# Prints the root's path. Needs root and debootstrap; the first run takes about 100 s.
# Usage: systemd_root.sh BUILD_TREE
set -euo pipefail
[ $# -eq 1 ] || { sed -n '2,6p' "$0" >&2; exit 2; }
suite=bookworm
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
# systemd as PID 1, dbus for systemctl's calls, iproute2 for ip and ss. Requests are made
# with bash's /dev/tcp, so no client is added.
packages=systemd,systemd-sysv,dbus,iproute2
root=$(realpath -m "$1")/systemd-root
stamp=$root.stamp
log=$root.debootstrap.log
wanted="$suite $packages"

exec 9>"$root.lock"
flock 9  # a second run that makes the root at the same time waits for this one

if [ -d "$root" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$wanted" ]; then
  echo "$root"
  exit 0
fi
rm -f "$stamp"
rm -rf "$root"
if ! debootstrap --variant=minbase --include="$packages" "$suite" "$root" "$mirror" \
    >"$log" 2>&1; then
  echo "debootstrap failed; the end of $log:" >&2
  tail -20 "$log" >&2
  exit 1
fi
rm -f "$root"/var/cache/apt/archives/*.deb  # unpacked already: only the size of the cache
echo "$wanted" >"$stamp"
echo "$root"
