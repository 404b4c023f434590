#include "platform/host_process.h"

#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>

namespace platform {

std::string ModuleFilePath() {
  // readlink says nothing of a cut: a result that fills the buffer is read again, larger.
  constexpr std::size_t kFirstSize = 512;
  constexpr std::size_t kLargestSize = std::size_t{1} << 16;
  for (std::size_t size = kFirstSize; size <= kLargestSize; size *= 2) {
    std::string path(size, '\0');
    const ssize_t count = readlink("/proc/self/exe", path.data(), size);
    if (count <= 0) {
      return {};  // no /proc, or a path longer than the kernel will tell
    }
    if (static_cast<std::size_t>(count) < size) {
      path.resize(static_cast<std::size_t>(count));
      return path;
    }
  }
  return {};
}

LocalTime CurrentLocalTime() {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec};
}

void SleepMilliseconds(uint32_t milliseconds) {
  struct timespec wait {
    static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L
  };
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

bool StartDetachedThread(void (*routine)(), int32_t* error) {
  try {
    std::thread(routine).detach();
    return true;
  } catch (const std::system_error& failure) {
    *error = failure.code().value();
    return false;
  }
}

// The record holds a child's process id here; a child that has ended is reaped.
bool QueryProcessExitCode(std::uintptr_t process, uint32_t* exitCode) {
  if (process == 0) {
    return false;
  }
  int status = 0;
  const pid_t ended = waitpid(static_cast<pid_t>(process), &status, WNOHANG);
  if (ended == 0) {
    *exitCode = kStillActive;
    return true;
  }
  if (ended < 0) {
    return false;
  }
  *exitCode = WIFEXITED(status) ? static_cast<uint32_t>(WEXITSTATUS(status)) : 1U;
  return true;
}

// There is no thread message queue to post to off Windows.
void PostQuitToThread(uint32_t /*threadId*/) {}

void TerminateProcessWithCode(std::uintptr_t process, uint32_t /*exitCode*/) {
  if (process != 0) {
    kill(static_cast<pid_t>(process), SIGKILL);
  }
}

}  // namespace platform
