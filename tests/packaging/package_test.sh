#!/usr/bin/env bash
# Builds the packages with CPack from configured and built trees, checks what they hold (the
# files expected and nothing else), and installs, removes and purges the Debian package with
# dpkg: its maintainer scripts must succeed where systemd is not running, the files must
# appear and go. Needs root for dpkg; exits 77 (skipped) without it or without a Windows tree.
# Usage: package_test.sh NATIVE_TREE MINGW_X86_64_TREE MINGW_I686_TREE
set -uo pipefail
[ $# -eq 3 ] || { sed -n '2,6p' "$0"; exit 2; }
native=$1 win64=$2 win32=$3
package=talvoro-macadress
home=/opt/talvoro_macadress
unit=/lib/systemd/system/Talvoro_macadress.service
wants=/etc/systemd/system/multi-user.target.wants/Talvoro_macadress.service
version=1.0.0
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
expect_listing "deb holds the binary, the unit, the bin/ note, the guide" \
  "$(printf '%s\n' "$unit" "$home/bin/README.txt" "$home/talvoro_macadress" \
                   "/usr/share/doc/$package/guide.md")" \
  "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}' | sort)"
unit_text=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$unit")
grep -qx "ExecStart=$home/talvoro_macadress" <<<"$unit_text" && grep -qx "Type=notify" <<<"$unit_text" \
  && ok "deb: the unit runs $home/talvoro_macadress as Type=notify" \
  || fail "deb: unexpected unit text: $unit_text"

if [ "$(id -u)" -ne 0 ]; then echo "SKIP: dpkg -i needs root"; exit 77; fi
if dpkg-query -W "$package" >/dev/null 2>&1; then
  echo "FAIL: $package is installed already; remove it first (dpkg -P $package)"; exit 1
fi
[ -d /run/systemd/system ] && echo "note: systemd runs here; the scripts take their systemd path"

installed_here=yes
if out=$(run_dpkg -i "$deb"); then ok "dpkg -i: postinst succeeds"; else fail "dpkg -i: $out"; fi
for path in "$home/talvoro_macadress" "$unit" "$home/bin/README.txt"; do
  [ -e "$path" ] || fail "dpkg -i: $path is missing"
done
[ -x "$home/talvoro_macadress" ] && ok "dpkg -i: the files are in place" || fail "dpkg -i: binary not executable"
if command -v systemctl >/dev/null; then
  [ -L "$wants" ] && ok "dpkg -i: the unit is enabled for boot" || fail "dpkg -i: $wants is not there"
fi
echo "an entry" >"$home/talvoro_macadress.log"  # as the service would have written

if out=$(run_dpkg -r "$package"); then ok "dpkg -r: prerm and postrm succeed"; else fail "dpkg -r: $out"; fi
for path in "$home/talvoro_macadress" "$unit" "$home/bin/README.txt" "$wants"; do
  [ -e "$path" ] || [ -L "$path" ] && fail "dpkg -r: $path is still there"
done
[ -f "$home/talvoro_macadress.log" ] && ok "dpkg -r: the files are gone, the log is kept" \
  || fail "dpkg -r: the log went with the package"

if out=$(run_dpkg -P "$package"); then ok "dpkg -P: postrm purge succeeds"; else fail "dpkg -P: $out"; fi
[ -e "$home" ] && fail "dpkg -P: $home is still there" || ok "dpkg -P: the log and $home are gone"
installed_here=no

[ $failures -eq 0 ] && { echo "all checks passed"; exit 0; }
echo "$failures check(s) failed"; exit 1
