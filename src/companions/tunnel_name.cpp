#include "companions/tunnel_name.h"

#include <string>

bool MatchesTunnelName(std::string_view exeFile, std::string_view tunnelName) {
  std::string lower(exeFile);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower.find(tunnelName) != std::string::npos;
}
