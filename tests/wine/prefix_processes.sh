# shellcheck shell=bash
# The Linux pids of a Wine prefix's live processes, shared by the Wine tests. Sourced; uses
# $prefix, the prefix's folder.

# Linux pids of this prefix's live Wine processes started as WINDOWS_PATH (zombies have no
# command line left, so they never count).
processes_of() {  # windows_path
  local proc first
  for proc in /proc/[0-9]*; do
    first=
    IFS= read -r -d '' first 2>/dev/null <"$proc/cmdline"
    [ "$first" == "$1" ] || continue
    tr '\0' '\n' 2>/dev/null <"$proc/environ" | grep -qxF "WINEPREFIX=$prefix" &&
      echo "${proc#/proc/}"
  done
}
