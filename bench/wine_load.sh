#!/usr/bin/env bash
# The service under Wine, in a fresh prefix of its own (the Wine test's rig): back-to-back
# loopback queries through the native load client, then the idle CPU use of the service and of
# the wine server (which answers the service's process scans and message-queue peeks) as a
# share of one core, with the stand-in tunnel running and with no tunnel program, and then the
# watchdog's launches per minute, counted from its traces. Prints figures; asserts nothing.
# Usage: wine_load.sh SERVICE_EXE STANDIN_EXE DBWIN_MONITOR_EXE MACPARAM_EXE WORK_DIR [SECONDS]
set -uo pipefail

if [ $# -lt 5 ] || [ $# -gt 6 ]; then
  echo "usage: $0 SERVICE_EXE STANDIN_EXE DBWIN_MONITOR_EXE MACPARAM_EXE WORK_DIR [SECONDS]" >&2
  exit 2
fi
service_exe=$1
standin=$2
monitor=$3
macparam=$4
idle_s=${6:-30}
launch_window_s=20
bench_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=SCRIPTDIR/../tests/wine/query_and_tunnel_test.sh
source "$bench_dir/../tests/wine/query_and_tunnel_test.sh"
rig_paths "$5"
clock_ticks=$(getconf CLK_TCK)

# utime + stime of a process, in clock ticks, all threads.
cpu_ticks() {  # pid
  local stat
  read -r stat <"/proc/$1/stat" || return 1
  read -r -a fields <<<"${stat##*) }"
  echo $((fields[11] + fields[12]))
}

wineserver_pid() {
  local proc
  for proc in /proc/[0-9]*; do
    [[ $(cat "$proc/comm" 2>/dev/null) == wineserver* ]] || continue
    tr '\0' '\n' 2>/dev/null <"$proc/environ" | grep -qxF "WINEPREFIX=$prefix" &&
      echo "${proc#/proc/}" && return
  done
}

session_processes() {
  local proc count=0
  for proc in /proc/[0-9]*; do
    tr '\0' '\n' 2>/dev/null <"$proc/environ" | grep -qxF "WINEPREFIX=$prefix" &&
      count=$((count + 1))
  done
  echo "$count"
}

share() {  # ticks seconds
  awk -v t="$1" -v s="$2" -v hz="$clock_ticks" 'BEGIN { printf "%.3f %%", 100 * t / hz / s }'
}

idle_cpu() {  # title
  local service server service_before server_before
  service=$(service_pid)
  server=$(wineserver_pid)
  sleep 2  # past the start-up sweep and the first launch
  service_before=$(cpu_ticks "$service")
  server_before=$(cpu_ticks "$server")
  sleep "$idle_s"
  echo "$1: service $(share $(($(cpu_ticks "$service") - service_before)) "$idle_s") of one" \
    "core, wine server $(share $(($(cpu_ticks "$server") - server_before)) "$idle_s")" \
    "(over $idle_s s)"
}

launches_per_minute() {
  "$run" "$monitor" "$launch_window_s" >"$work/launches.out" 2>&1
  local count
  count=$(tr -d '\r' <"$work/launches.out" | grep -c ' =*st start=*\\n$')
  awk -v n="$count" -v s="$launch_window_s" \
    'BEGIN { printf "no tunnel program: %.0f launches per minute (%d in %d s, counted from the \
watchdog traces while a monitor read them)\n", n * 60 / s, n, s }'
}

boot_fresh_prefix end_rig || {
  echo "wine load: the wine server did not start" >&2
  exit 1
}
install_files "$service_exe" "$standin"
host -i
start_service || {
  echo "wine load: the service never answered on port $query_port" >&2
  exit 1
}
wait_until 10 one_tunnel || echo "note: the stand-in tunnel did not come up: [$(tunnel_pids)]"
echo "Linux processes of the Wine session (the watchdog scans the Windows ones):" \
  "$(session_processes)"

# macparam under Wine makes the page's parameter for the native load client.
printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$run" "$macparam" >"$work/macparam"
chmod +x "$work/macparam"
echo "--- back-to-back queries under Wine (peak memory is the service's Linux process)"
python3 "$bench_dir/load_client.py" "$work/macparam" --seconds 5 --pid "$(service_pid)"

echo "--- idle CPU under Wine"
idle_cpu "stand-in tunnel running"
stop_service || echo "note: the service did not stop (state $(service_state))"
"$run" taskkill /f /im stunnel.exe >/dev/null 2>&1
rm -f "$folder/bin/stunnel.exe"
start_service || {
  echo "wine load: without a tunnel program the service never answered" >&2
  exit 1
}
idle_cpu "no tunnel program"
launches_per_minute
