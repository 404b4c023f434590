// The executable path and the log path, derived from the module path.
#pragma once

#include <string>
#include <string_view>

struct HostPaths {
  std::string executablePath;
  std::string logPath;
};

// C:\svc\agent.exe gives itself and C:\svc\agent.log (only the dot four places before the end
// is tested). A path without such an extension, as on Linux, keeps itself as the executable
// path and gets ".log" appended: with empty paths nothing could be installed or logged. An
// empty module path (the system could not tell) leaves the executable path empty and logs to
// kFallbackLogName in the working folder.
inline constexpr char kFallbackLogName[] = "talvoro_macadress.log";
HostPaths DeriveHostPaths(std::string_view modulePath);
