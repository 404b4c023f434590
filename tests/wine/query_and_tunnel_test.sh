#!/usr/bin/env bash
# The running service's two workers under Wine, in a fresh prefix of this test's own with a
# persistent wine server, installed under a folder whose path holds a blank:
# - the query server answers on 127.0.0.1:10032 (Wine's sockets are the host's) with the
#   address GetAdaptersInfo gives there, only to the site its parameter was made for, and the
#   traces of one request, read live through the debugger output channel, are the handler's;
# - the start-up sweep ends a stand-in tunnel that already runs, with exit code 9;
# - the watchdog runs the stand-in, launches it again after each `taskkill /f`, leaves it
#   running at `-k`, and without a tunnel program the service goes on answering and logs
#   nothing;
# - a second query server (control 128) cannot bind the port the first holds: it traces its
#   bind failure once, however often it tries again, and the first goes on answering. Wine
#   does not apply Windows' bind rules: whether another user's SO_REUSEADDR socket could take
#   the port beside the service's SO_EXCLUSIVEADDRUSE listener on Windows is not shown here;
#   server_tests reads back the option the listener carries.
# Usage: query_and_tunnel_test.sh SERVICE_EXE DBWIN_MONITOR_EXE STANDIN_EXE ADAPTER_PROBE_EXE
#                                 CONTROL_TOOL_EXE WORK_DIR
# Sourced (by the Wine benchmark), it only defines the rig's functions.
set -uo pipefail

# shellcheck source=SCRIPTDIR/wine_rig.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine_rig.sh"
readonly windows_tunnel="$windows_folder\\bin\\stunnel.exe"
readonly query_port=10032
readonly relaunch_bound_s=2
readonly kills=20
# The service's key and IV: MD5 of its built-in pass phrase.
readonly param_key=fe6c68743ec419bb77d5f493e8c705ff
readonly reply_header=$'HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Type: text/html\r\n\r\n'

# --- the rig, shared with the benchmark ----------------------------------------------------

# Stops and removes the service and ends the session, whatever state a failure left.
end_rig() {
  host -k
  host -u
  "$wineserver" -k
}

install_files() {  # service_exe standin_exe (empty: no tunnel program)
  mkdir -p "$folder/bin"
  guard_install_folder "$folder" "$folder/bin"
  cp "$1" "$folder/talvoro_macadress.exe"
  if [ -n "$2" ]; then cp "$2" "$folder/bin/stunnel.exe"; fi
}

host() {  # switch
  "$run" "$windows_exe" "$@" >>"$work/host-output.log" 2>&1
}

tunnel_pids() { processes_of "$windows_tunnel" | tr '\n' ' ' | sed 's/ $//'; }
service_pid() { processes_of "$windows_exe" | head -n 1; }

# Socket inodes listening on the query port.
port_listeners() {
  awk -v port="$(printf '%04X' "$query_port")" \
    'FNR > 1 && $4 == "0A" && $2 ~ (":" port "$") { print "socket:[" $10 "]" }' \
    /proc/net/tcp /proc/net/tcp6
}

# Whether this prefix's session holds the listener, not another run's on the machine; under
# Wine the wine server holds its programs' sockets.
port_is_ours() {
  local listeners proc fd
  listeners=$(port_listeners)
  [ -n "$listeners" ] || return 1
  for proc in /proc/[0-9]*; do
    tr '\0' '\n' 2>/dev/null <"$proc/environ" | grep -qxF "WINEPREFIX=$prefix" || continue
    for fd in "$proc"/fd/*; do
      [[ $(readlink "$fd" 2>/dev/null) == socket:* ]] || continue
      grep -qxF -- "$(readlink "$fd")" <<<"$listeners" && return 0
    done
  done
  return 1
}

# Polls COMMAND every 0.1 s until it succeeds, for at most SECONDS.
wait_until() {  # seconds command...
  local deadline _
  deadline=$(($(date +%s%N) + ${1%.*} * 1000000000))
  shift
  for _ in $(seq 100000); do
    "$@" && return 0
    [ "$(date +%s%N)" -lt "$deadline" ] || return 1
    sleep 0.1
  done
  return 1
}
port_free() { [ -z "$(port_listeners)" ]; }

# The request parameter for an origin text, made with OpenSSL rather than the service's code.
make_param() {  # text
  printf '%s' "$1" |
    openssl enc -aes-128-cbc -K "$param_key" -iv "$param_key" -base64 -A
}

query_request() {  # param referer
  printf 'GET /?callback=cb&%s&b&c&d&e HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nReferer: %s\r\n\r\n' \
    "$1" "$query_port" "$2"
}

# Sends REQUEST's exact bytes on one connection and prints the reply up to the service's close.
exchange() {  # request
  local fd
  { exec {fd}<>"/dev/tcp/127.0.0.1/$query_port"; } 2>/dev/null || return 1
  # In one write, as a browser sends it: the service takes a request in a single receive, and
  # bash's printf writes line by line, so a slow receive would see only the first lines.
  printf '%s' "$1" >"$work/request.bin"
  (cat "$work/request.bin" >&"$fd") 2>/dev/null  # a reset must not end the script by SIGPIPE
  timeout 5 cat <&"$fd" 2>/dev/null
  exec {fd}<&-
}

expected_reply() { printf '%scb({'"'"'ret'"'"': '"'"'%s'"'"'});' "$reply_header" "$1"; }

# Any well-formed reply: what it carries is for the checks to judge.
answers() {
  local reply
  reply=$(exchange "$(query_request a http://x/)")
  [[ $reply == "$reply_header"'cb({'* ]]
}

service_state() {
  "$run" sc query "$service_name" 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p'
}
is_state() { [ "$(service_state)" == "$1" ]; }
service_gone() { [ -z "$(service_pid)" ]; }
service_running_here() { [ -n "$(service_pid)" ] && port_is_ours; }

# The service started and answering from this prefix, after any other run let go of the port.
start_service() {
  wait_until 120 port_free || {
    echo "another program keeps port $query_port: $(port_listeners)"
    return 1
  }
  host -s
  wait_until 30 service_running_here && wait_until 10 answers
}

# The service stopped, as the manager reports it and as the process table shows it.
stop_service() {
  host -k
  wait_until 10 is_state 1 && wait_until 10 service_gone
}

# --- the checks -----------------------------------------------------------------------------

failed=0
fail() {
  failed=1
  echo "FAIL $1"
}
expect_equal() {  # what actual expected
  [ "$2" == "$3" ] || fail "$1: got [$(escape "$2")], expected [$(escape "$3")]"
}

# As the DBWIN monitor prints a trace.
escape() {
  local text=${1//\\/\\\\}
  text=${text//$'\r'/\\r}
  text=${text//$'\n'/\\n}
  printf '%s' "${text//$'\t'/\\t}"
}

# The lines the handler traces for one request that passes the origin check.
expected_traces() {  # request param address gateway...
  local request=$1 param=$2 address=$3 line
  shift 3
  local referer=$'referer: http://shop.example:8080/'
  local tail='::Sleep Mac Adress 4444 ==== debug ===== '$'\r\n'
  line="cb&$param&b&c&d&e HTTP/1.1"
  local -a lines=(
    "[sock] recv : $request"$'\r\n'
    "::Sleep debug ===== 2. $referer "$'\r\n'
    "::Sleep Mac Adress ==== debug ===== "$'\r\n'
    "::Sleep Mac Adress ==== ndbg:count : 5, org $line ===== "$'\r\n'
    "$line$tail"
    "cb - $param - b - c - d$tail"
    "shop.example===$referer$tail"
    $'\n\n api ok start  :1 ===== \r\n'
  )
  local number=0 gateway
  for gateway in "$@"; do
    number=$((number + 1))
    lines+=("$number. $gateway "$'\n')
  done
  lines+=($'\n\n api ok end  :1 ===== \r\n'
    "$(expected_reply "$address") :: Sleep Mac Adress 4444 ==== debug ===== "$'\r\n')
  for line in "${lines[@]}"; do escape "$line" && echo; done
}

# The service's traces from its request's first line to its reply line, from the monitor's
# "PID TEXT" lines.
request_traces() {  # monitor_output
  awk '!pid && index($0, " [sock] recv : ") { pid = $1 }
       pid && $1 == pid { print substr($0, length(pid) + 2) }
       pid && $1 == pid && index($0, " HTTP/1.1 200 OK") == length(pid) + 1 { exit }' "$1"
}

check_queries() {  # address
  local own other
  own=$(make_param shop.example)
  other=$(make_param other.example)
  expect_equal "own site's parameter and Referer" \
    "$(exchange "$(query_request "$own" http://shop.example:8080/)")" "$(expected_reply "$1")"
  expect_equal "own site's parameter, another site's Referer" \
    "$(exchange "$(query_request "$own" http://evil.example/)")" "$(expected_reply '')"
  expect_equal "another site's parameter" \
    "$(exchange "$(query_request "$other" http://shop.example:8080/)")" "$(expected_reply '')"
}

# Starts the DBWIN monitor for SECONDS, its output in $work/NAME.out, and sets monitor_pid
# once it reads; otherwise fails CASE and returns 1.
start_monitor() {  # monitor_exe seconds name case
  "$run" "$1" "$2" >"$work/$3.out" 2>"$work/$3.err" &
  monitor_pid=$!
  if ! wait_until 10 grep -q '^ready' "$work/$3.out"; then
    fail "$4: the DBWIN monitor did not start: $(cat "$work/$3.err")"
    kill "$monitor_pid" 2>/dev/null
    return 1
  fi
}

check_request_traces() {  # monitor_exe address gateway...
  local monitor=$1 address=$2 param request monitor_pid
  shift 2
  param=$(make_param shop.example)
  request=$(query_request "$param" http://shop.example:8080/)
  start_monitor "$monitor" 8 monitor traces || return
  exchange "$request" >/dev/null
  wait "$monitor_pid"
  local actual expected
  tr -d '\r' <"$work/monitor.out" >"$work/monitor.lines"  # the monitor's own line ends
  actual=$(request_traces "$work/monitor.lines")
  expected=$(expected_traces "$request" "$param" "$address" "$@")
  [ "$actual" == "$expected" ] ||
    fail "traces of one request: first difference $(diff <(echo "$actual") <(echo "$expected") |
      grep -m 2 '^[<>]' | tr '\n' ' ')"
}

# The running service is sent control 128 while the DBWIN monitor reads its traces. The second
# query server it starts writes its bind failure to a console no one sees (a service's), so its
# trace is what is checked: one, however often it tries again.
check_second_server() {  # control_tool monitor_exe
  local control_tool=$1 monitor=$2 monitor_pid reply failures
  local bind_failure='[sock] recv start server error 1 \r\n'
  answers || fail "second query server: no answer before control 128"
  start_monitor "$monitor" 12 second "second query server" || return
  reply=$("$run" "$control_tool" "$service_name" 128 2>>"$work/tool-stderr.log" | tr -d '\r')
  expect_equal "second query server: reply to control 128" "$reply" "state 4"
  wait_until 10 grep -qF -- "$bind_failure" "$work/second.out" ||
    fail "second query server: no bind failure traced"
  answers || fail "second query server: the first stopped answering"
  sleep 3  # the second tries again several times meanwhile
  answers || fail "second query server: the first stopped answering after its retries"
  wait "$monitor_pid"
  failures=$(grep -cF -- "$bind_failure" "$work/second.out")
  expect_equal "second query server: bind failure traces" "$failures" 1
}

one_tunnel() { local pids; pids=$(tunnel_pids); [ -n "$pids" ] && [ "${pids// /}" == "$pids" ]; }

# Sets `pid` to the stand-ins now; true when one runs that is not `old`.
new_tunnel() {
  pid=$(tunnel_pids)
  [ -n "$pid" ] && [ "$pid" != "$old" ]
}

check_kills() {
  local kill began old pid
  [ -n "$(tunnel_pids)" ] || return  # already reported: no stand-in to kill
  for kill in $(seq "$kills"); do
    old=$(tunnel_pids)
    "$run" taskkill /f /im stunnel.exe >>"$work/taskkill.log" 2>&1
    began=$(date +%s%N)
    if ! wait_until "$relaunch_bound_s" new_tunnel; then
      fail "kill $kill: no new stand-in within $relaunch_bound_s s (before: [$old], now: [$pid])"
      return
    fi
    if [ $(($(date +%s%N) - began)) -gt $((relaunch_bound_s * 1000000000)) ]; then
      fail "kill $kill: the stand-in ran again only after $relaunch_bound_s s"
    fi
  done
}

main() {
  if [ $# -ne 6 ]; then
    echo "usage: $0 SERVICE_EXE DBWIN_MONITOR_EXE STANDIN_EXE ADAPTER_PROBE_EXE" \
      "CONTROL_TOOL_EXE WORK_DIR" >&2
    exit 2
  fi
  local service_exe=$1 monitor=$2 standin=$3 probe=$4 control_tool=$5
  rig_paths "$6"
  boot_fresh_prefix end_rig || {
    echo "wine query and tunnel: the wine server did not start" >&2
    exit 1
  }
  install_files "$service_exe" "$standin"
  # Were the tunnel's command line split at its blanks, this program would run in its place.
  cp "$standin" "$prefix/drive_c/Program Files/Talvoro.exe"

  # What the adapter list gives here, read independently of the service.
  local probed address
  probed=$("$run" "$probe" 2>"$work/adapters.txt" | tr -d '\r')
  address=$(sed -n 's/^address *//p' <<<"$probed")
  mapfile -t gateways < <(sed -n 's/^gateway //p' <<<"$probed")
  [ -n "$address" ] || echo "note: no adapter with a gateway here; the expected address is empty"

  host -i
  read_log
  local installed=$log_text

  # A stand-in tunnel that runs before the service starts: the sweep ends it with code 9.
  wait_until 120 port_free || fail "port $query_port stays taken: $(port_listeners)"
  "$run" "$standin" run "$windows_tunnel" >"$work/parent.out" 2>&1 &
  wait_until 10 grep -q '^started' "$work/parent.out" ||
    fail "the stand-in before the service did not start: $(cat "$work/parent.out")"
  start_service || fail "the service never answered on port $query_port"
  wait_until 15 grep -q '^exit\|^still' "$work/parent.out"
  expect_equal "start-up sweep: exit code of the running stand-in" \
    "$(tr -d '\r' <"$work/parent.out" | sed -n 's/^exit //p')" 9

  # The watchdog's own stand-in runs, and while it runs it is left alone.
  wait_until 10 one_tunnel || fail "after -s: stand-ins [$(tunnel_pids)], expected one"
  local first
  first=$(tunnel_pids)
  sleep 2
  expect_equal "after -s: the running stand-in" "$(tunnel_pids)" "$first"

  check_queries "$address"
  check_request_traces "$monitor" "$address" "${gateways[@]}"
  check_kills

  # A stop leaves the tunnel running.
  local survivor
  survivor=$(tunnel_pids)
  stop_service || fail "-k: the service did not stop (state $(service_state))"
  sleep 1
  expect_equal "after -k: the stand-in" "$(tunnel_pids)" "$survivor"
  read_log
  expect_equal "the watchdog's launches and kills: log" "$log_text" "$installed"

  # No tunnel program: the launches fail, the queries are answered, nothing is logged.
  "$run" taskkill /f /im stunnel.exe >>"$work/taskkill.log" 2>&1
  rm -f "$folder/bin/stunnel.exe"
  start_service || fail "no tunnel program: the service never answered"
  check_queries "$address"
  sleep 3  # a few hundred failed launches
  check_queries "$address"
  # With no tunnel program the second worker pair's sweep and launches leave nothing behind.
  check_second_server "$control_tool" "$monitor"
  check_queries "$address"
  expect_equal "no tunnel program: stand-ins" "$(tunnel_pids)" ""
  stop_service || fail "no tunnel program: the service did not stop (state $(service_state))"
  read_log
  expect_equal "no tunnel program: log" "$log_text" "$installed"

  if [ "$failed" -ne 0 ]; then
    echo "wine query and tunnel: failed"
    exit 1
  fi
  echo "wine query and tunnel: passed"
}

if [ "${BASH_SOURCE[0]}" == "$0" ]; then
  main "$@"
fi
