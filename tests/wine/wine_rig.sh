# shellcheck shell=bash disable=SC2034  # the names are the sourcing script's to use
# The Wine rig the service's Wine tests and the Wine benchmark share: the installed service's
# paths in a prefix of the caller's own, a fresh prefix booted with a persistent wine server,
# the service's log, and this prefix's processes. Sourced; defines functions and names only.

readonly service_name=Talvoro_macadress
readonly windows_folder='C:\Program Files\Talvoro Test'
readonly windows_exe="$windows_folder\\talvoro_macadress.exe"
rig_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
readonly rig_dir run="$rig_dir/run-in-wine"

# Sets the paths of a rig in WORK_DIR; the prefix is not made yet.
rig_paths() {  # work_dir
  work=$1
  prefix=$work/prefix
  folder="$prefix/drive_c/Program Files/Talvoro Test"
  log=$folder/talvoro_macadress.log
  export WINEPREFIX=$prefix TALVORO_WINEPREFIX=$prefix WINEDEBUG=-all
  wineserver=/usr/lib/wine/wineserver
  [ -x "$wineserver" ] || wineserver=$(command -v wineserver)
}

# A fresh prefix. Wine 8 starts a second service manager in the session that creates a prefix,
# and there the manager answers unreliably (a second install succeeds, a start times out): the
# prefix is made in a session of its own, which ends by itself, and the rig runs in the next
# one, whose server is persistent (services die with the last Wine process otherwise). That
# session is ended on every way out by CLEANUP, which ends with `"$wineserver" -k`.
boot_fresh_prefix() {  # cleanup
  [ -n "$wineserver" ] || return 1
  rm -rf "$work"
  mkdir -p "$prefix"
  "$run" wineboot --init >"$work/boot.log" 2>&1
  "$wineserver" -w
  "$wineserver" -p || return 1
  # shellcheck disable=SC2064  # the command text is the caller's, run as it stands
  trap "$1" EXIT
  trap 'exit 1' INT TERM HUP
  "$run" wineboot >>"$work/boot.log" 2>&1
}

# Wine keeps no descriptor for a folder: it makes one up from the Unix owner and mode (the Wine
# user the owner, Everyone with the "other" bits). The nearest to what Windows gives a folder
# under Program Files is then a folder of the Wine user that nobody else may write; -i refuses
# any other.
guard_install_folder() {  # folder...
  chmod go-w -- "$@"
}

# The service's log, CR LF and all, into log_text; empty when there is none.
read_log() {
  log_text=
  if [ -f "$log" ]; then IFS= read -r -d '' log_text <"$log"; fi
  return 0
}

# shellcheck source=SCRIPTDIR/prefix_processes.sh
source "$rig_dir/prefix_processes.sh"
