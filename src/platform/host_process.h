// What the service host asks of the system about itself and other processes: its module
// path, the local time, and the companion process (another program the service would end
// at stop, recorded by handle and main-thread id).
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The executable's full path as the system reports it, whole however long it is; empty when
// the system cannot tell (no path is better than one cut short).
std::string ModuleFilePath();

struct LocalTime {
  int year;
  int month;  // 1 to 12
  int day;
  int hour;
  int minute;
  int second;
};
LocalTime CurrentLocalTime();

void SleepMilliseconds(uint32_t milliseconds);

// Runs ROUTINE on a thread of its own that nobody waits for. False, with the runtime's error
// number in ERROR, when no thread could be made.
bool StartDetachedThread(void (*routine)(), int32_t* error);

// The companion process, by the handle (Windows) or process id (Linux) in its record.
bool QueryProcessExitCode(std::uintptr_t process, uint32_t* exitCode);
void PostQuitToThread(uint32_t threadId);
void TerminateProcessWithCode(std::uintptr_t process, uint32_t exitCode);
inline constexpr uint32_t kStillActive = 259;

}  // namespace platform
