// Placeholder until the real calls land.
#include "platform/host_process.h"

namespace platform {
int ModuleFileName(char* /*buffer*/, int /*size*/) { return 0; }
LocalTime CurrentLocalTime() { return {}; }
void SleepMilliseconds(uint32_t /*milliseconds*/) {}
bool QueryProcessExitCode(std::uintptr_t /*process*/, uint32_t* /*exitCode*/) { return false; }
void PostQuitToThread(uint32_t /*threadId*/) {}
void TerminateProcessWithCode(std::uintptr_t /*process*/, uint32_t /*exitCode*/) {}
}  // namespace platform
