// ASCII case folding, the same on every system and in every locale: the names and header
// texts it is used on are ASCII by definition.
#pragma once

#include <string>

namespace platform {

inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string LowerAscii(std::string text) {
  for (char& c : text) {
    c = LowerAscii(c);
  }
  return text;
}

}  // namespace platform
