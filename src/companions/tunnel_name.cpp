#include "companions/tunnel_name.h"

#include <string>

#include "platform/ascii_case.h"

bool MatchesTunnelName(std::string_view exeFile, std::string_view tunnelName) {
  return platform::LowerAscii(std::string(exeFile)).find(tunnelName) != std::string::npos;
}
