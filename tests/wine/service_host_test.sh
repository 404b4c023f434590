#!/usr/bin/env bash
# The service host against Wine's own service manager, in a fresh prefix with a persistent
# wine server (services die with the last Wine process otherwise). The service is installed
# under a folder whose path holds a blank, then driven through every switch and the control
# codes that Wine's sc cannot send.
# Usage: service_host_test.sh SERVICE_EXE CONTROL_TOOL_EXE WORK_DIR
set -uo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 SERVICE_EXE CONTROL_TOOL_EXE WORK_DIR" >&2
  exit 2
fi
service_exe=$1
control_tool=$2
work=$3
# shellcheck source=SCRIPTDIR/wine_rig.sh
source "$(dirname "$0")/wine_rig.sh"
rig_paths "$work"

readonly registered_command="\"$windows_exe\""
readonly stamp='[0-9]{2}/[0-9]{2}/[0-9]{4}, [0-9]{2}:[0-9]{2}:[0-9]{2}'
readonly crlf=$'\r\n'

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAIL $1"
}
expect_equal() {  # what actual expected
  if [ "$2" == "$3" ]; then pass; else fail "$1: got [$2], expected [$3]"; fi
}
expect_true() {  # what command...
  local what=$1
  shift
  if "$@"; then pass; else fail "$what"; fi
}

# `text` is `before` followed by exactly one entry holding `message`.
expect_one_entry_after() {  # what before text message
  local rest=${3#"$2"}
  if [ "${3:0:${#2}}" != "$2" ]; then
    fail "$1: earlier entries changed"
  elif [[ $rest =~ ^${stamp}${crlf}"    $4"${crlf}$ ]]; then
    pass
  else
    fail "$1: expected one entry \"$4\", got [${rest//$'\r'/\\r}]"
  fi
}

within() { [[ ! $1 < $2 && ! $1 > $3 ]]; }

expect_log_unchanged() {  # what before
  read_log
  expect_equal "$1: log unchanged" "$log_text" "$2"
}

# Runs the service executable by its Windows path; every run ends with 0 and prints nothing.
run_host() {  # label switch...
  local label=$1 output status
  shift
  output=$("$run" "$windows_exe" "$@" 2>>"$work/host-stderr.log")
  status=$?
  expect_equal "$label: exit code" "$status" 0
  expect_equal "$label: console output" "$output" ""
}

control() {  # code
  "$run" "$control_tool" "$service_name" "$1" 2>>"$work/tool-stderr.log" | tr -d '\r'
}

# One number of sc's status report (STATE, WIN32_EXIT_CODE, ...).
status_field() {  # field
  "$run" sc query "$service_name" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *: *\([0-9]*\).*/\1/p"
}
service_state() { status_field STATE; }

# The manager and the process table lag behind the requests: ask again, for up to 10 s.
eventually() {  # expected command...
  local expected=$1 _
  shift
  for _ in $(seq 50); do
    [ "$("$@")" == "$expected" ] && return 0
    sleep 0.2
  done
  return 1
}

# Live processes of the installed service in this prefix (not other prefixes' or the
# switches' own, which have ended by the time this is asked).
service_processes() { processes_of "$windows_exe" | wc -l; }

registry_value() {  # value name under the service's key
  "$run" reg query "HKLM\\System\\CurrentControlSet\\Services\\$service_name" /v "$1" 2>/dev/null |
    tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}

# shellcheck disable=SC2016  # expanded when the trap runs
boot_fresh_prefix '"$wineserver" -k' || {
  echo "wine service host: the wine server did not start" >&2
  exit 1
}
mkdir -p "$folder"
guard_install_folder "$folder"
cp "$service_exe" "$folder/talvoro_macadress.exe"

# Install: one entry, stamped now; the command quoted because the path holds a blank.
before=$(date '+%m/%d/%Y, %H:%M:%S')
run_host "-i" -i
after=$(date '+%m/%d/%Y, %H:%M:%S')
read_log
expect_one_entry_after "-i" "" "$log_text" "Service $service_name installed"
logged=${log_text:0:20}
if [ "${before:0:10}" == "${after:0:10}" ]; then
  expect_true "-i: stamp $logged not between $before and $after" \
    within "$logged" "$before" "$after"
fi
while IFS='|' read -r value expected; do
  expect_equal "-i: registered $value" "$(registry_value "$value")" "$expected"
done <<EOF
ImagePath|$registered_command
DisplayName|$service_name
Type|0x110
Start|0x2
ErrorControl|0x1
ObjectName|LocalSystem
EOF

read_log
installed=$log_text
run_host "-i again" -i
read_log
expect_one_entry_after "-i again" "$installed" "$log_text" \
  "Failed to create service $service_name, error code = 1073"
expect_equal "-i again: entry unchanged" "$(registry_value ImagePath)" "$registered_command"

# Start: running, and a successful start writes nothing.
read_log
before_start=$log_text
run_host "-s" -s
expect_true "-s: the service never reported RUNNING" eventually 4 service_state
expect_log_unchanged "-s" "$before_start"
expect_true "-s: not exactly one service process" eventually 1 service_processes

run_host "-s again" -s
read_log
expect_one_entry_after "-s again" "$before_start" "$log_text" \
  "StartService failed, error code = 1056"

# Controls: the state each reply carries; none of these writes to the log. The manager
# refuses 6 (parameter change) itself, as the service does not accept it, so the handler
# never sees it.
read_log
before_controls=$log_text
while IFS='|' read -r code expected meaning; do
  expect_equal "control $code ($meaning)" "$(control "$code")" "$expected"
  expect_log_unchanged "control $code ($meaning)" "$before_controls"
done <<'EOF'
2|state 7|pause
3|state 4|continue
4|state 4|interrogate
128|state 4|more workers
129|state 4|user code without action
6|error 1052|parameter change, not accepted
EOF
expect_equal "after the controls: state" "$(service_state)" 4

# Stop: stopped with exit code 0 at once, the process gone, nothing written.
run_host "-k" -k
expect_true "-k: the service never reported STOPPED" eventually 1 service_state
expect_equal "-k: service exit code" "$(status_field WIN32_EXIT_CODE)" 0
expect_true "-k: the service process did not end" eventually 0 service_processes
expect_log_unchanged "-k" "$before_controls"

run_host "-k again" -k
read_log
expect_one_entry_after "-k again" "$before_controls" "$log_text" \
  "ControlService failed, error code = 1062"

# No switch, from a console: the dispatcher fails at once.
read_log
before_console=$log_text
run_host "no switch"
read_log
expect_one_entry_after "no switch" "$before_console" "$log_text" \
  "StartServiceCtrlDispatcher failed, error code = 1063"

# Remove: the log goes with the outcome just written, which a descriptor held on it still
# shows.
# Runs the host while a descriptor is held on the log, and puts what it shows in $held.
run_holding_log() {
  exec 3<"$log"
  run_host "$@"
  held=
  IFS= read -r -d '' held <&3
  exec 3<&-
}

read_log
before_remove=$log_text
run_holding_log "-u" -u
expect_one_entry_after "-u" "$before_remove" "$held" "Service $service_name removed"
expect_true "-u: the log is still there" test ! -e "$log"
expect_equal "-u: entry gone" "$(control 4)" "error 1060"
expect_equal "-u: registry key gone" "$(registry_value ImagePath)" ""

# Remove again: no such service, and still no log (one is made first, to be held).
: >"$log"
run_holding_log "-u again" -u
expect_one_entry_after "-u again" "" "$held" "OpenService failed, error code = 1060"
expect_true "-u again: a log is left" test ! -e "$log"

# A path past the old 260-character limit is read whole: -i registers all of it and the log
# lands beside it; -u removes the entry again.
long_part=$(printf 'p%.0s' $(seq 120))
long_windows_folder="$windows_folder\\$long_part\\$long_part"
long_folder="$folder/$long_part/$long_part"
mkdir -p "$long_folder"
guard_install_folder "$long_folder"
cp "$service_exe" "$long_folder/talvoro_macadress.exe"
long_exe="$long_windows_folder\\talvoro_macadress.exe"
"$run" "$long_exe" -i 2>>"$work/host-stderr.log"
expect_equal "-i from a ${#long_exe}-character path: registered ImagePath" \
  "$(registry_value ImagePath)" "\"$long_exe\""
expect_true "-i from a long path: no log beside it" test -f "$long_folder/talvoro_macadress.log"
"$run" "$long_exe" -u 2>>"$work/host-stderr.log"
expect_equal "-u from a long path: registry key gone" "$(registry_value ImagePath)" ""

if [ "$failed" -ne 0 ]; then
  echo "wine service host: $failed of $((passed + failed)) checks failed"
  exit 1
fi
echo "wine service host: $passed checks passed"
