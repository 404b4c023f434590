#include "service/host_paths.h"

HostPaths DeriveHostPaths(std::string_view modulePath) {
  HostPaths paths;
  if (modulePath.empty()) {
    return paths;  // the system could not tell: no log beside an unknown file
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
