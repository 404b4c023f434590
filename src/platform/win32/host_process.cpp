#include "platform/host_process.h"

#include <windows.h>

namespace platform {

namespace {

// The companion record carries the process handle as an integer; this is the one way back.
HANDLE AsHandle(std::uintptr_t process) {
  return reinterpret_cast<HANDLE>(process);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

int ModuleFileName(char* buffer, int size) {
  if (size <= 0) {
    return 0;
  }
  const DWORD count = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
  if (count == 0 || count >= static_cast<DWORD>(size)) {
    return 0;  // unknown, or cut short: no path is better than a wrong one
  }
  return static_cast<int>(count);
}

LocalTime CurrentLocalTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void SleepMilliseconds(uint32_t milliseconds) {
  Sleep(milliseconds);
}

bool QueryProcessExitCode(std::uintptr_t process, uint32_t* exitCode) {
  DWORD code = 0;
  if (GetExitCodeProcess(AsHandle(process), &code) == FALSE) {
    return false;
  }
  *exitCode = code;
  return true;
}

void PostQuitToThread(uint32_t threadId) {
  PostThreadMessageA(threadId, WM_QUIT, 0, 0);
}

void TerminateProcessWithCode(std::uintptr_t process, uint32_t exitCode) {
  TerminateProcess(AsHandle(process), exitCode);
}

}  // namespace platform
