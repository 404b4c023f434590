#!/usr/bin/env bash
# Builds the packages with CPack from configured and built trees, checks what they hold (the
# files expected and nothing else), has lintian review the Debian package, and installs,
# upgrades, removes and purges it with dpkg: its maintainer scripts must succeed where systemd
# is not running, enable the unit for boot through deb-systemd-helper, keep an administrator's
# disable, and leave nothing behind on purge. Needs root for dpkg; exits 77 (skipped) without
# it or without a Windows tree.
# Usage: package_test.sh NATIVE_TREE MINGW_X86_64_TREE MINGW_I686_TREE
set -uo pipefail
[ $# -eq 3 ] || { sed -n '2,8p' "$0"; exit 2; }
native=$1 win64=$2 win32=$3
package=talvoro-macadress
home=/opt/talvoro_macadress
doc=/usr/share/doc/talvoro-macadress
unit_name=Talvoro_macadress.service
unit=/lib/systemd/system/$unit_name
wants=/etc/systemd/system/multi-user.target.wants/$unit_name
helper_state=/var/lib/systemd/deb-systemd-helper-enabled
version=1.0.0 newer=1.0.1
failures=0
work=$(mktemp -d -t talvoro-packages.XXXXXX)
installed_here=no
cleanup() {
  [ "$installed_here" = yes ] && dpkg -P "$package" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL $1"; failures=$((failures + 1)); }
ok() { echo "ok   $1"; }
expect_listing() {  # case, expected (sorted lines), actual (sorted lines)
  if [ "$2" = "$3" ]; then ok "$1"; else fail "$1: listing differs"; diff <(echo "$2") <(echo "$3"); fi
}
# Another dpkg or apt on this machine holds its lock for a while: bounded retries.
run_dpkg() {
  local attempt out
  for attempt in $(seq 30); do
    if out=$(dpkg "$@" 2>&1); then echo "$out"; return 0; fi
    grep -q "lock" <<<"$out" || { echo "$out"; return 1; }
    sleep 2
  done
  echo "$out"; return 1
}

pe_machine() {  # the machine field of a PE file, 4 hex digits; empty when it is none
  local offset
  [ "$(head -c 2 "$1")" = MZ ] || return 0
  offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  [ "$(od -An -c -j"$offset" -N4 "$1" | tr -d ' ')" = 'PE\0\0' ] || return 0
  od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' '
}

for tree in "$win64" "$win32"; do
  [ -f "$tree/CPackConfig.cmake" ] || { echo "SKIP: $tree is not a configured Windows tree"; exit 77; }
done

# --- the Windows zips ---------------------------------------------------------------------
for arch in x86_64 i686; do
  tree=$win64; machine=8664  # the PE header's machine field: AMD64, i386
  [ $arch = i686 ] && { tree=$win32; machine=014c; }
  name=talvoro_macadress-$version-windows-$arch
  if ! cpack -G ZIP --config "$tree/CPackConfig.cmake" -B "$work/$arch" >"$work/$arch.log" 2>&1; then
    fail "zip $arch: cpack failed"; cat "$work/$arch.log"; continue
  fi
  zip=$work/$arch/$name.zip
  [ -f "$zip" ] || { fail "zip $arch: cpack made no $name.zip"; continue; }
  expect_listing "zip $arch holds the executable, bin\\ with its note, the guide" \
    "$(printf '%s\n' "$name/bin/README.txt" "$name/guide.md" "$name/talvoro_macadress.exe")" \
    "$(unzip -Z1 "$zip" | grep -v '/$' | sort)"
  unzip -p "$zip" "$name/talvoro_macadress.exe" >"$work/$arch.exe"
  found=$(pe_machine "$work/$arch.exe")
  [ "$found" = $machine ] && ok "zip $arch: the executable is a Windows $arch program" \
    || fail "zip $arch: the executable's PE machine is '$found', expected $machine"
  unzip -p "$zip" "$name/bin/README.txt" | grep -q 'stunnel.exe' \
    && ok "zip $arch: bin\\README.txt says where stunnel.exe goes" \
    || fail "zip $arch: bin\\README.txt does not name stunnel.exe"
done

# --- the Debian package -------------------------------------------------------------------
if ! cpack -G DEB --config "$native/CPackConfig.cmake" -B "$work/deb" >"$work/deb.log" 2>&1; then
  fail "deb: cpack failed"; cat "$work/deb.log"; exit 1
fi
deb=$(ls "$work"/deb/${package}_${version}_*.deb)
expect_listing "deb holds the binary, the unit, the bin/ note, the guide, copyright, changelog, overrides" \
  "$(printf '%s\n' "$unit" "$home/bin/README.txt" "$home/talvoro_macadress" "$doc/changelog.gz" \
                   "$doc/copyright" "$doc/guide.md" "/usr/share/lintian/overrides/$package")" \
  "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}' | sort)"
unit_text=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$unit")
grep -qx "ExecStart=$home/talvoro_macadress" <<<"$unit_text" && grep -qx "Type=notify" <<<"$unit_text" \
  && ok "deb: the unit runs $home/talvoro_macadress as Type=notify" \
  || fail "deb: unexpected unit text: $unit_text"
# A native package's changelog names the package's own version in its newest entry.
entry=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$doc/changelog.gz" | gzip -dc | head -n 1)
case $entry in
  "$package ($(dpkg-deb -f "$deb" Version)) "*) ok "deb: the changelog's newest entry is this version" ;;
  *) fail "deb: the changelog begins '$entry'" ;;
esac

if command -v lintian >/dev/null; then
  # Only the tags about /opt are accepted (the package's overrides say why).
  report=$(lintian --fail-on none --display-info --show-overrides "$deb" 2>&1); status=$?
  report=$(grep -v -e '^N: ' -e 'running with root privileges' <<<"$report")
  sed 's/^/  lintian: /' <<<"$report"
  bad=$(grep -E '^[EW]: ' <<<"$report" | grep -v ' dir-or-file-in-opt ')
  [ $status -eq 0 ] && [ -z "$bad" ] && ok "deb: lintian reports no errors or warnings" \
    || fail "deb: lintian (exit $status): ${bad:-see above}"
else
  fail "deb: lintian is not installed"
fi

if [ "$(id -u)" -ne 0 ]; then echo "SKIP: dpkg -i needs root"; exit 77; fi
if dpkg-query -W "$package" >/dev/null 2>&1; then
  echo "FAIL: $package is installed already; remove it first (dpkg -P $package)"; exit 1
fi
# A purge that failed before leaves these, and the install would take them for a disable.
left=$(find "$wants" "$helper_state" -name "$unit_name*" 2>/dev/null)
[ -z "$left" ] || { echo "FAIL: left over from an earlier install, delete first:" $left; exit 1; }
[ -d /run/systemd/system ] && echo "note: systemd runs here; the scripts take their systemd path"

# Where systemd runs (imitated: /run/systemd/system in a mount namespace of its own, the
# helpers stubs that log their calls), the service starts on installation, is restarted after
# an upgrade rather than stopped for the unpack, and stops on removal.
dpkg-deb -e "$deb" "$work/control"
mkdir "$work/stubs"
for tool in deb-systemd-invoke deb-systemd-helper systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/calls" >"$work/stubs/$tool"
  chmod +x "$work/stubs/$tool"
done
while IFS='|' read -r call expected; do
  : >"$work/calls"
  # $call is the script and its arguments, split on purpose.
  # shellcheck disable=SC2086
  unshare -m sh -c 'mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && exec "$@"' - \
    env PATH="$work/stubs:$PATH" DPKG_MAINTSCRIPT_PACKAGE=$package sh "$work/control/"$call \
    || fail "with systemd, $call: exit $?"
  found=$(sed -n 's/^deb-systemd-invoke //p' "$work/calls" | paste -sd,)
  [ "$found" = "$expected" ] && ok "with systemd, $call: ${expected:-no start or stop}" \
    || fail "with systemd, $call: deb-systemd-invoke '$found', expected '$expected'"
done <<EOF
postinst configure|start $unit_name
postinst configure $version|restart $unit_name
prerm upgrade $newer|
prerm remove|stop $unit_name
EOF

# The same package with a higher version, to upgrade to.
dpkg-deb -R "$deb" "$work/newer"
sed -i "s/^Version: .*/Version: $newer/" "$work/newer/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/newer" "$work/newer.deb" >/dev/null

step() {  # case, dpkg arguments
  local name=$1 out; shift
  if out=$(run_dpkg "$@"); then ok "$name: dpkg $1 succeeds"; else fail "$name: $out"; fi
}
files=("$home/talvoro_macadress" "$unit" "$home/bin/README.txt" "$doc/copyright" "$doc/changelog.gz")
expect_files() {  # case, present|absent
  local path wrong=""
  for path in "${files[@]}"; do
    if [ "$2" = present ]; then [ -e "$path" ] || wrong+=" $path"; else [ -e "$path" ] && wrong+=" $path"; fi
  done
  [ -z "$wrong" ] && ok "$1: the package's files are $2" || fail "$1: not $2:$wrong"
}
expect_enabled() {  # case, yes|no: the wants link deb-systemd-helper makes (and records)
  if [ "$2" = yes ]; then
    [ -L "$wants" ] && [ -f "$helper_state/$unit_name.dsh-also" ] \
      && ok "$1: enabled for boot, recorded by deb-systemd-helper" \
      || fail "$1: $wants or its state in $helper_state is missing"
  else
    [ -L "$wants" ] && fail "$1: $wants is there" || ok "$1: not enabled for boot"
  fi
}
expect_log() {  # case
  [ -f "$home/talvoro_macadress.log" ] && ok "$1: the log is kept" || fail "$1: the log is gone"
}

installed_here=yes
step install -i "$deb"
expect_files install present
[ -x "$home/talvoro_macadress" ] || fail "install: the binary is not executable"
expect_enabled install yes
echo "an entry" >"$home/talvoro_macadress.log"  # as the service would have written

for upgrade in "$version:$deb" "$newer:$work/newer.deb"; do
  name="upgrade to ${upgrade%%:*}"
  step "$name" -i "${upgrade#*:}"
  found=$(dpkg-query -W -f='${Version}' "$package")
  [ "$found" = "${upgrade%%:*}" ] || fail "$name: $found is installed"
  expect_files "$name" present
  expect_enabled "$name" yes
  expect_log "$name"
done

step remove -r "$package"
expect_files remove absent
expect_enabled remove no
expect_log remove

step "install after remove" -i "$work/newer.deb"
expect_enabled "install after remove" yes

# An administrator's disable outlasts upgrades; its record goes on purge.
systemctl disable --quiet "$unit_name" 2>/dev/null || rm -f "$wants"
step "upgrade of a disabled unit" -i "$work/newer.deb"
expect_enabled "upgrade of a disabled unit" no

step purge -P "$package"
expect_files purge absent
[ -e "$home" ] && fail "purge: $home is still there" || ok "purge: the log and $home are gone"
left=$(find "$helper_state" -name "$unit_name*" 2>/dev/null)
[ -z "$left" ] && ok "purge: deb-systemd-helper's state is gone" || fail "purge: left $left"
installed_here=no

[ $failures -eq 0 ] && { echo "all checks passed"; exit 0; }
echo "$failures check(s) failed"; exit 1
