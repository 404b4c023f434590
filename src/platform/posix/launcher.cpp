#include "platform/launcher.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/posix/null_stdio_actions.h"

namespace platform {

namespace {

// The programs launched and not yet collected; any watchdog thread may launch or reap.
std::mutex LaunchedLock;
std::vector<pid_t> Launched;

}  // namespace

void LaunchHidden(const std::string& command) {
  NullStdioActions files;
  // A session of its own, and none of the signals this process keeps blocked for its
  // dispatcher: the tunnel must answer SIGTERM like any program.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) {
    sigaddset(&defaults, signal);
  }
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char* const arguments[] = {const_cast<char*>(command.c_str()), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, command.c_str(), files.get(), &attributes, arguments, environ) == 0) {
    const std::scoped_lock hold(LaunchedLock);
    Launched.push_back(child);
  }
  posix_spawnattr_destroy(&attributes);
}

void ReapLaunchedPrograms() {
  const std::scoped_lock hold(LaunchedLock);
  std::erase_if(Launched, [](pid_t child) {
    int status = 0;
    const pid_t result = waitpid(child, &status, WNOHANG);
    return result == child || result < 0;
  });
}

}  // namespace platform
