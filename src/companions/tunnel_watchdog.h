// The tunnel watchdog: starts the TLS tunnel program from the bin folder beside the executable
// and starts it again whenever no process of its name runs. Writes nothing to the log.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/processes.h"

// The worker routine; returns 0 once it sees the worker stop flag at the top of its loop, or at
// once, launching nothing, when the service's own path (and so its bin folder) is unknown.
int RunTunnelWatchdog();

// The executable's folder (cut before the last `separator`) followed by `relative`:
// C:\svc.exe with "\bin\stunnel.exe" gives C:\bin\stunnel.exe.
std::string TunnelProgramPath(std::string_view modulePath, char separator,
                              std::string_view relative);

inline constexpr char kTunnelStartTrace[] =
    "==========================st start==========================\n";
inline constexpr char kTunnelEndTrace[] =
    "==========================st end==========================\n";
inline constexpr char kTunnelPathUnknownTrace[] =
    "[tunnel] the service's own path is unknown: no tunnel program started\n";

// Tests: where the process list comes from and how the tunnel is started; null restores the
// system's.
using ProcessSnapshotter = std::vector<platform::ProcessEntry> (*)();
using TunnelLauncher = void (*)(const std::string& command);
void SetWatchdogHooks(ProcessSnapshotter snapshotter, TunnelLauncher launcher);
