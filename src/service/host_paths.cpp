#include "service/host_paths.h"

HostPaths DeriveHostPaths(std::string_view modulePath) {
  HostPaths paths;
  if (modulePath.empty()) {
    // The system could not tell: nothing to register, and the log goes to the working folder,
    // where whoever ran the switch can find why nothing was installed.
    paths.logPath = kFallbackLogName;
    return paths;
  }
  paths.executablePath = modulePath;
  const std::size_t count = modulePath.size();
  if (count > 4 && modulePath[count - 4] == '.') {
    paths.logPath = std::string(modulePath.substr(0, count - 4)) + ".log";
  } else {
    paths.logPath = std::string(modulePath) + ".log";
  }
  return paths;
}
