// The service control manager: Windows' own (advapi32), or systemd on Linux, where the
// service entry is the unit file /etc/systemd/system/Talvoro_macadress.service. Each call
// mirrors one Windows call; on failure LastServiceError() gives the reason as Windows would
// (1073 exists already, 1060 no such service, 1056 already running, 1062 not running) or,
// for a failure Windows has no code for, the errno.
#pragma once

#include <cstdint>

namespace platform {

using ServiceHandle = std::uintptr_t;  // 0 is no handle

inline constexpr uint32_t kScManagerCreateService = 0x0002;
inline constexpr uint32_t kScManagerAllAccess = 0xF003F;

inline constexpr int32_t kErrorServiceExists = 1073;
inline constexpr int32_t kErrorServiceDoesNotExist = 1060;
inline constexpr int32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr int32_t kErrorServiceNotActive = 1062;

// The local machine's manager, its active database. Off Windows this fails when systemd is
// not running.
ServiceHandle OpenServiceManager(uint32_t access);
// A service of its own process, interactive, started at every system start, normal error
// control, the system's own account; `command` is registered as given. Asks all access. On
// Windows the entry is protected as well (platform/win32/service_protection.h); when that
// fails the entry is deleted again and the failure is the reason of protecting it.
ServiceHandle CreateServiceEntry(ServiceHandle manager, const char* name, const char* displayName,
                                 const char* command);
ServiceHandle OpenServiceEntry(ServiceHandle manager, const char* name);
bool DeleteServiceEntry(ServiceHandle service);
bool RequestServiceStart(ServiceHandle service);
bool RequestServiceStop(ServiceHandle service);
void CloseServiceEntryHandle(ServiceHandle handle);

// The reason of the last failed call above, read at once after it, on the calling thread.
int32_t LastServiceError();

}  // namespace platform
