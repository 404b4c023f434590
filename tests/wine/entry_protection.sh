# shellcheck shell=bash
# What the service manager keeps of the service entry's protection, read back through the
# control tool, for the tests of both install paths (-i and the package). A manager that keeps
# it shows ours exactly. Wine 8's keeps none of it, so what it would enforce is not shown:
# - SetServiceObjectSecurity is a stub in the client that accepts anything and keeps nothing;
#   QueryServiceObjectSecurity answers a fixed empty DACL, "D:". The caller shows the call was
#   made; the SDDL text is checked right by right through Windows' own SDDL and ACL calls in
#   win32_platform_unit_tests.
# - The manager takes SERVICE_CONFIG_FAILURE_ACTIONS with success and drops it, noting only
#   its reset period; it answers SERVICE_CONFIG_FAILURE_ACTIONS_FLAG with 124
#   (ERROR_INVALID_LEVEL), which the product accepts as a manager without that setting; both
#   reads answer 124. Shown instead: the period and the flag's level reached the manager, in
#   its own notes (WINEDEBUG=fixme+service). The restart delays are not shown.
# Sourced; defines names and functions only.

readonly entry_dacl='D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLORC;;;IU)(A;;CCLCSWLORC;;;AU)'
readonly wine_fixed_dacl='D:'

# Prints one line for each fault and returns 1 when there was one. CONTROL is a command that
# runs the control tool on the entry with its one argument; NOTES is what the manager noted
# while the entry was made.
entry_protection_faults() {  # control notes
  local control=$1 notes=$2 dacl actions flag faults=0
  dacl=$("$control" dacl)
  if [ "$dacl" != "$wine_fixed_dacl" ] && [ "$dacl" != "$entry_dacl" ]; then
    echo "DACL [$dacl], expected [$entry_dacl]"
    faults=1
  fi
  actions=$("$control" failure-actions)
  if [ "$actions" == "error 124" ]; then
    if ! grep -q 'SERVICE_CONFIG_FAILURE_ACTIONS not implemented: period 86400 ' <<<"$notes"; then
      echo "the manager was given no failure actions with a day's reset period"
      faults=1
    fi
  elif [ "$actions" != "reset 86400 actions 1/1000 1/5000 1/30000" ]; then
    echo "failure actions [$actions]"
    faults=1
  fi
  flag=$("$control" failure-flag)
  if [ "$flag" == "error 124" ]; then
    if ! grep -q 'ChangeServiceConfig2W level 4 not implemented' <<<"$notes"; then
      echo "the manager was not asked for the failure-actions flag"
      faults=1
    fi
  elif [ "$flag" != "flag 1" ]; then
    echo "failure-actions flag [$flag]"
    faults=1
  fi
  return "$faults"
}
