#!/usr/bin/env bash
# The Windows Installer package as an administrator deploys it, under Wine's own msiexec,
# service manager, sockets and adapter list, in a fresh prefix of this test's own (64-bit for
# the x86_64 package, 32-bit for the i686 one, as each is meant for): a silent installation
# registers the service entry `-i` makes and starts it, and it answers; a silent removal leaves
# no entry, file, folder or process, even with a log written beside the executable; the package
# installs again; a newer package replaces it and an older one is refused. Each installation
# and upgrade protects the entry with the call `-i` makes (its custom action, read back as
# tests/wine/entry_protection.sh can under Wine); a removal does not run it.
# Usage: msi_test.sh PROCESSOR PACKAGE NEWER_PACKAGE ADAPTER_PROBE_EXE CONTROL_TOOL_EXE WORK_DIR
set -uo pipefail

if [ $# -ne 6 ]; then
  echo "usage: $0 PROCESSOR PACKAGE NEWER_PACKAGE ADAPTER_PROBE_EXE CONTROL_TOOL_EXE WORK_DIR" >&2
  exit 2
fi
processor=$1 package=$2 newer_package=$3 probe=$4 control_tool=$5 work=$6

readonly service_name=Talvoro_macadress
readonly windows_folder='C:\Program Files\Talvoro_macadress'
readonly windows_exe="$windows_folder\\talvoro_macadress.exe"
readonly service_key="HKLM\\System\\CurrentControlSet\\Services\\$service_name"
readonly uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
readonly query_port=10032
# The service's key and IV: MD5 of its built-in pass phrase.
readonly param_key=fe6c68743ec419bb77d5f493e8c705ff

prefix=$work/prefix
folder="$prefix/drive_c/Program Files/Talvoro_macadress"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
case $processor in
  x86_64) WINEARCH=win64 wine=/usr/lib/wine/wine64 machine=8664 ;;
  i686) WINEARCH=win32 wine=/usr/lib/wine/wine machine=014c ;;
  *) echo "unknown processor $processor" >&2; exit 2 ;;
esac
export WINEARCH
if [ ! -x "$wine" ]; then
  echo "msi test: no Wine loader $wine for $processor (wine32:i386 brings the 32-bit one)" >&2
  exit 1
fi
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

run() { "$wine" "$@"; }

failed=0
fail() {
  failed=1
  echo "FAIL $1"
}
expect_equal() {  # what actual expected
  [ "$2" == "$3" ] || fail "$1: got [$2], expected [$3]"
}

# The manager, the process table and the port lag behind msiexec: ask again, for up to
# SECONDS.
wait_until() {  # seconds command...
  local deadline=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

# msiexec with the switches an administrator's deployment uses. Its exit code goes to
# deploy_status, its verbose log to installer_log, the service manager's notes meanwhile to
# manager_notes.
deploy_status=
installer_log=
manager_notes=
deploy() {  # /i|/x package
  local notes_before
  notes_before=$(wc -l <"$work/boot.log")
  cp "$2" "$prefix/drive_c/package.msi"
  rm -f "$prefix/drive_c/install.log"
  timeout 180 "$wine" msiexec "$1" 'C:\package.msi' /qn /l*v 'C:\install.log' \
    >>"$work/msiexec.log" 2>&1
  deploy_status=$?
  installer_log=$(tr -d '\0\r' <"$prefix/drive_c/install.log" 2>/dev/null)
  printf '%s\n' "$installer_log" >>"$work/install.log"
  manager_notes=$(tail -n +$((notes_before + 1)) "$work/boot.log")
}

# The version in a package's name, talvoro_macadress-VERSION-windows-PROCESSOR.msi.
package_version() { basename "$1" | sed -n 's/^talvoro_macadress-\([0-9.]*\)-windows-.*/\1/p'; }

registry_value() {  # key value
  run reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

# "VERSION" of every registered product of this name, one a line.
products() {
  run reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | awk '
    /^HKEY/ { name = ""; version = "" }
    $1 == "DisplayName" { name = $3 }
    $1 == "DisplayVersion" { version = $3 }
    name == "Talvoro_macadress" && version != "" { print version; name = "" }'
}

control() { run "$control_tool" "$service_name" "$1" 2>/dev/null | tr -d '\r'; }

# The custom action's own line in the installer's log, written when it ran.
readonly protected_line="ProtectService: service $service_name protected"
protect_ran() { grep -q "^ProtectService: " <<<"$installer_log"; }

# The entry the last deploy made is protected: the custom action ran and succeeded, and the
# manager keeps (or under Wine, was given) what -i sets.
expect_protected() {  # what
  grep -qxF "$protected_line" <<<"$installer_log" ||
    fail "$1: the installer's log shows no [$protected_line]"
  expect_equal "$1: the entry's protection" "$(entry_protection_faults control "$manager_notes")" ""
}

service_state() {
  run sc query "$service_name" 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p'
}

# shellcheck source=SCRIPTDIR/../wine/prefix_processes.sh
source "$(dirname "$0")/../wine/prefix_processes.sh"
# shellcheck source=SCRIPTDIR/../wine/entry_protection.sh
source "$(dirname "$0")/../wine/entry_protection.sh"
service_pids() { processes_of "$windows_exe"; }
no_service_process() { [ -z "$(service_pids)" ]; }
running() { [ "$(service_state)" == 4 ] && [ -n "$(service_pids)" ]; }

port_listeners() {
  awk -v port="$(printf '%04X' "$query_port")" \
    'FNR > 1 && $4 == "0A" && $2 ~ (":" port "$") { print $2 }' /proc/net/tcp /proc/net/tcp6
}
port_free() { [ -z "$(port_listeners)" ]; }

make_param() {  # text
  printf '%s' "$1" | openssl enc -aes-128-cbc -K "$param_key" -iv "$param_key" -base64 -A
}

# The reply to a request with the site's parameter and a Referer of that site.
site_reply() {
  local fd request
  local format='GET /?callback=cb&%s&b&c&d&e HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nReferer: %s\r\n\r\n'
  # shellcheck disable=SC2059  # the format is the request's
  request=$(printf "$format" "$(make_param shop.example)" "$query_port" http://shop.example:8080/)
  { exec {fd}<>"/dev/tcp/127.0.0.1/$query_port"; } 2>/dev/null || return 1
  printf '%s' "$request" >"$work/request.bin"
  (cat "$work/request.bin" >&"$fd") 2>/dev/null  # in one write, as a browser sends it
  timeout 5 cat <&"$fd" 2>/dev/null
  exec {fd}<&-
}
expected_reply=
answers() { [ "$(site_reply)" == "$expected_reply" ]; }

# The service runs from the installed executable and answers the site with the adapter's
# address.
expect_serving() {  # what
  wait_until 30 running || fail "$1: service state [$(service_state)], processes [$(service_pids)]"
  wait_until 15 answers || fail "$1: reply [$(site_reply | tr -d '\r')]"
}

# Nothing of the product is left: entry, registration, files, folder, process.
expect_removed() {  # what
  wait_until 10 no_service_process || fail "$1: processes left [$(service_pids)]"
  ! run reg query "$service_key" >/dev/null 2>&1 || fail "$1: the service entry is left"
  expect_equal "$1: registered products" "$(products)" ""
  [ ! -e "$folder" ] || fail "$1: left [$(cd "$prefix/drive_c/Program Files" &&
    find Talvoro_macadress | tr '\n' ' ')]"
}

# A fresh prefix, made in a session of its own; the checks run in the next one, whose server
# is persistent (services die with the last Wine process otherwise) and ends on every way out.
# The service manager keeps the environment of the boot that starts it: its notes on what it
# does not implement go to boot.log.
rm -rf "$work"
mkdir -p "$prefix"
WINEDEBUG=fixme+service run wineboot --init >"$work/boot.log" 2>&1
"$wineserver" -w
"$wineserver" -p || { echo "msi test: the wine server did not start" >&2; exit 1; }
trap '"$wineserver" -k' EXIT
trap 'exit 1' INT TERM HUP
WINEDEBUG=fixme+service run wineboot >>"$work/boot.log" 2>&1

# What the package asks of the installer: the protection from the platform's DLL in its Binary
# table (1), deferred (1024), not impersonated (2048), its result checked (no 64); after
# InstallServices, before StartServices, never when the product goes.
if command -v msiinfo >/dev/null; then
  expect_equal "custom action ProtectService" \
    "$(msiinfo export "$package" CustomAction | tr -d '\r' | awk -F'\t' '$1 == "ProtectService"')" \
    "$(printf 'ProtectService\t3073\tActions\tProtectService\t')"
  expect_equal "sequence of ProtectService" \
    "$(msiinfo export "$package" InstallExecuteSequence | tr -d '\r' |
      awk -F'\t' '$1 ~ /^(InstallServices|ProtectService|StartServices)$/' | sort -t$'\t' -k3n |
      tr '\t\n' '| ')" \
    'InstallServices|VersionNT|5800 ProtectService|NOT REMOVE~="ALL"|5850 StartServices|VersionNT|5900 '
else
  echo "note: no msiinfo (msitools); the package's tables are not checked"
fi

address=$(run "$probe" 2>"$work/adapters.txt" | tr -d '\r' | sed -n 's/^address *//p')
[ -n "$address" ] || echo "note: no adapter with a gateway here; the expected address is empty"
printf -v expected_reply '%s\r\n' 'HTTP/1.1 200 OK' 'Access-Control-Allow-Origin: *' \
  'Content-Type: text/html' ''
expected_reply+="cb({'ret': '$address'});"
wait_until 120 port_free || { echo "msi test: port $query_port stays taken" >&2; exit 1; }
version=$(package_version "$package")
newer_version=$(package_version "$newer_package")

# Installation: the entry `-i` makes, the files, the service answering.
deploy /i "$package"
expect_equal "msiexec /i" "$deploy_status" 0
while IFS='|' read -r value expected; do
  expect_equal "registered $value" "$(registry_value "$service_key" "$value")" "$expected"
done <<EOF
DisplayName|$service_name
Type|0x110
Start|0x2
ErrorControl|0x1
ObjectName|LocalSystem
EOF
# Windows Installer writes the executable's path in quotes (its log shows
# ImagePath="C:\Program Files\..."), Wine's without: either way it must be the installed file
# alone.
image_path=$(registry_value "$service_key" ImagePath)
image_path=${image_path#\"}
expect_equal "registered ImagePath" "${image_path%\"}" "$windows_exe"
expect_equal "installed files" "$(cd "$folder" && find . -type f | sort | tr '\n' ' ')" \
  "./bin/README.txt ./guide.md ./talvoro_macadress.exe "
offset=$(od -An -tu4 -j60 -N4 "$folder/talvoro_macadress.exe" | tr -d ' ')
expect_equal "executable's machine" \
  "$(od -An -tx2 -j$((offset + 4)) -N2 "$folder/talvoro_macadress.exe" | tr -d ' ')" "$machine"
expect_equal "registered products" "$(products)" "$version"
expect_protected "after /i"
expect_serving "after /i"

# Removal, with a log beside the executable that no package installed: a second start writes
# "StartService failed, error code = 1056" there.
run "$windows_exe" -s >/dev/null 2>&1
[ -f "$folder/talvoro_macadress.log" ] || fail "-s on the running service wrote no log"
deploy /x "$package"
expect_equal "msiexec /x" "$deploy_status" 0
! protect_ran || fail "/x: the protection ran on removal"
expect_removed "after /x"

# Again from nothing, then a newer package over it: one product, a new process, answering.
deploy /i "$package"
expect_equal "msiexec /i again" "$deploy_status" 0
expect_serving "installed again"
old_pids=$(service_pids)
deploy /i "$newer_package"
expect_equal "msiexec /i newer" "$deploy_status" 0
expect_equal "after the upgrade: registered products" "$(products)" "$newer_version"
expect_protected "after the upgrade"
expect_serving "after the upgrade"
[ "$(service_pids)" != "$old_pids" ] || fail "after the upgrade: still the old process $old_pids"

# The older package is refused and changes nothing: 1603, a launch condition failed (a Linux
# process keeps the exit code's low byte).
upgraded_pids=$(service_pids)
deploy /i "$package"
expect_equal "msiexec /i older" "$deploy_status" $((1603 & 255))
expect_equal "after the older one: registered products" "$(products)" "$newer_version"
expect_equal "after the older one: processes" "$(service_pids)" "$upgraded_pids"

deploy /x "$newer_package"
expect_equal "msiexec /x newer" "$deploy_status" 0
! protect_ran || fail "/x of the newer package: the protection ran on removal"
expect_removed "after /x of the newer package"

if [ "$failed" -ne 0 ]; then
  echo "msi under wine ($processor): failed"
  exit 1
fi
echo "msi under wine ($processor): passed"
