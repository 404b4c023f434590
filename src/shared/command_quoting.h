// Command lines that name a program by a path with blanks are quoted, so that no program at a
// shorter path (C:\Program.exe) can run in its place.
#pragma once

#include <string>

inline std::string QuotedWhenBlank(const std::string& path) {
  return path.find(' ') == std::string::npos ? path : '"' + path + '"';
}
