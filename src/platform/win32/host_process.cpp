#include "platform/host_process.h"

#include <windows.h>

#include <string>

namespace platform {

namespace {

// The companion record carries the process handle as an integer; this is the one way back.
HANDLE AsHandle(std::uintptr_t process) {
  return reinterpret_cast<HANDLE>(process);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

std::string ModuleFilePath() {
  // A path cut at the buffer's end fills it: read again, larger, up to the longest path the
  // system has.
  constexpr DWORD kFirstSize = MAX_PATH + 1;
  constexpr DWORD kLargestSize = 32768;
  for (DWORD size = kFirstSize; size <= kLargestSize * 2; size *= 2) {
    std::string path(size, '\0');
    const DWORD count = GetModuleFileNameA(nullptr, path.data(), size);
    if (count == 0) {
      return {};
    }
    if (count < size) {
      path.resize(count);
      return path;
    }
  }
  return {};
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
