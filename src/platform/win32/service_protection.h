// What the service entry carries besides its command, on both install paths (`-i` and the
// Windows Installer package): who may do what with it, and what the manager does when the
// service fails. Windows only.
#pragma once

#include <cstdint>

#include "platform/service_manager.h"

namespace platform {

// The service object's DACL. SYSTEM and Administrators hold every service right; interactive
// and authenticated users may only query the configuration and status, enumerate dependents,
// interrogate and read the descriptor. Nobody else holds anything: the default descriptor
// lets any interactive user send user-defined controls, which the service acts on with the
// rights of LocalSystem.
inline constexpr char kServiceEntrySddl[] =
    "D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
    "(A;;CCLCSWLORC;;;IU)(A;;CCLCSWLORC;;;AU)";

// Restarts after each of the first three failures, counted again from none after a day.
inline constexpr uint32_t kRestartDelaysMs[] = {1000, 5000, 30000};
inline constexpr uint32_t kFailureCountResetSeconds = 86400;

// The access an open entry needs for ProtectServiceEntry: the DACL is written, the failure
// actions changed, and restart actions ask for the right to start as well.
inline constexpr uint32_t kProtectServiceAccess = 0x00040000 | 0x0002 | 0x0010;

// Sets the DACL of kServiceEntrySddl on the entry and its failure actions: restart after
// kRestartDelaysMs, the count reset after kFailureCountResetSeconds, and a stop with a
// non-zero exit code counted as a failure too. 0 once all is set, or the Windows error of
// the call that failed; what was set before it stays. A manager that answers the flag with
// ERROR_INVALID_LEVEL has no such setting: that alone is not a failure, and is traced.
uint32_t ProtectServiceEntry(ServiceHandle service);

}  // namespace platform
