// Running as the service: the dispatcher that owns the main thread, the control handler and
// the status reports. On Windows the service control manager's own; on Linux the process is
// the service in the foreground: the main thread waits for signals and hands them to the
// handler, SIGTERM and SIGINT as stop (1), SIGUSR1 and SIGUSR2 as the user codes 128 and 255,
// SIGHUP as interrogate (4: a report, nothing else); status reports go to systemd's notify
// socket when NOTIFY_SOCKET names one (READY=1 for running, STOPPING=1 for stopped).
#pragma once

#include <cstdint>

namespace platform {

struct ServiceStatus {
  uint32_t serviceType;
  uint32_t currentState;
  uint32_t controlsAccepted;
  uint32_t win32ExitCode;
  uint32_t serviceSpecificExitCode;
  uint32_t checkPoint;
  uint32_t waitHint;

  bool operator==(const ServiceStatus&) const = default;
};

inline constexpr uint32_t kServiceWin32 = 0x30;
inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStartPending = 2;
inline constexpr uint32_t kServiceRunning = 4;
inline constexpr uint32_t kServicePaused = 7;

using ServiceMainRoutine = void (*)();
using ControlHandlerRoutine = void (*)(uint32_t code);
using StatusHandle = std::uintptr_t;  // 0 is none

// Called by the run time before it starts any thread of its own: off Windows it blocks the
// stop and reload signals here, so that every later thread inherits the mask and only the
// dispatcher's wait receives them. Nothing to do on Windows.
void PrepareDispatcher();

// Runs `serviceMain` on a thread of its own and the control handler on the calling thread
// (under Wine on one of its own); returns once the service has reported itself stopped.
// Returns false at once when the process was not started as a service (Windows only).
bool RunDispatcher(const char* name, ServiceMainRoutine serviceMain);
StatusHandle RegisterControlHandler(const char* name, ControlHandlerRoutine handler);
bool ReportServiceStatus(StatusHandle handle, const ServiceStatus& status);

// The reason of the last failed call above, read at once after it.
int32_t LastDispatcherError();

}  // namespace platform
