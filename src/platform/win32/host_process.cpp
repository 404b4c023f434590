#include "platform/host_process.h"

#include <windows.h>

#include <process.h>

#include <cerrno>
#include <memory>
#include <string>

namespace platform {

namespace {

// Handles travel as integers (the companion record, the runtime's thread start); the one way back.
HANDLE AsHandle(std::uintptr_t process) {
  return reinterpret_cast<HANDLE>(process);  // NOLINT(performance-no-int-to-ptr)
}

using Routine = void (*)();

unsigned __stdcall RunRoutine(void* start) {
  const std::unique_ptr<Routine> routine(static_cast<Routine*>(start));
  (*routine)();
  return 0;
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

// The runtime's own thread start, its handle closed at once. Not std::thread: detaching one
// goes through the static pthreads library, whose detach races a thread that has already ended;
// under load a thread was seen never to run, and the process to crash later.
bool StartDetachedThread(void (*routine)(), int32_t* error) {
  auto start = std::make_unique<Routine>(routine);
  const std::uintptr_t thread = _beginthreadex(nullptr, 0, &RunRoutine, start.get(), 0, nullptr);
  if (thread == 0) {
    *error = errno;
    return false;
  }
  start.release();  // the thread owns it now
  CloseHandle(AsHandle(thread));
  return true;
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
