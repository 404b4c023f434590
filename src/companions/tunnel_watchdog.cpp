#include "companions/tunnel_watchdog.h"

#include <algorithm>
#include <atomic>
#include <cstddef>

#include "companions/tunnel_name.h"
#include "platform/debug_trace.h"
#include "platform/host_process.h"
#include "platform/launcher.h"
#include "platform/message_pump.h"
#include "shared/command_quoting.h"
#include "shared/worker_stop_flag.h"

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
constexpr char kTunnelRelative[] = "\\bin\\stunnel.exe";
#else
constexpr char kSeparator = '/';
constexpr char kTunnelRelative[] = "/bin/stunnel";
#endif

// Replaced by tests only.
std::atomic<ProcessSnapshotter> Snapshotter{nullptr};
std::atomic<TunnelLauncher> Launcher{nullptr};

// Empty when the service's own path is unknown: a folder-less path would name a program at the
// root (\bin\stunnel.exe, /bin/stunnel) that is not ours to run.
std::string TunnelCommand() {
  const std::string module = platform::ModuleFilePath();
  if (module.find(kSeparator) == std::string::npos) {
    return {};
  }
  std::string path = TunnelProgramPath(module, kSeparator, kTunnelRelative);
#ifdef _WIN32
  return QuotedWhenBlank(path);  // a command line: a path with blanks must not be split
#else
  return path;  // spawned by path, no shell in between
#endif
}

void Launch(const std::string& command) {
  platform::WriteDebugTrace(kTunnelStartTrace);
  const TunnelLauncher launcher = Launcher.load();
  if (launcher != nullptr) {
    launcher(command);
  } else {
    platform::LaunchHidden(command);
  }
  platform::WriteDebugTrace(kTunnelEndTrace);
}

bool TunnelRuns() {
  const ProcessSnapshotter snapshotter = Snapshotter.load();
  if (snapshotter == nullptr) {
    platform::ReapLaunchedPrograms();  // a tunnel that died must not count as running
  }
  const std::vector<platform::ProcessEntry> processes =
      snapshotter != nullptr ? snapshotter() : platform::SnapshotProcesses();
  // One step per entry up to and including the tunnel's (every entry when it is missing). The
  // look at an entry takes nothing from the steps, so all of them are taken at once after it.
  const auto tunnel = std::find_if(processes.begin(), processes.end(), [](const auto& entry) {
    return MatchesTunnelName(entry.exeFile, kTunnelProcessName);
  });
  const bool found = tunnel != processes.end();
  platform::PumpSteps(static_cast<std::size_t>(tunnel - processes.begin()) + (found ? 1 : 0));
  return found;
}

}  // namespace

std::string TunnelProgramPath(std::string_view modulePath, char separator,
                              std::string_view relative) {
  const std::size_t last = modulePath.rfind(separator);
  const std::string_view folder =
      last == std::string_view::npos ? std::string_view() : modulePath.substr(0, last);
  return std::string(folder) + std::string(relative);
}

void SetWatchdogHooks(ProcessSnapshotter snapshotter, TunnelLauncher launcher) {
  Snapshotter.store(snapshotter);
  Launcher.store(launcher);
}

int RunTunnelWatchdog() {
  const std::string command = TunnelCommand();
  if (command.empty()) {
    platform::WriteDebugTrace(kTunnelPathUnknownTrace);
    return 0;
  }
  for (;;) {
    Launch(command);  // also at thread start, without looking first
    do {
      if (WorkerStopFlag.load() == 1) {
        return 0;  // the tunnel is left running
      }
      platform::PumpStep();
    } while (TunnelRuns());
  }
}
