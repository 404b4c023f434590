#include "platform/systemd_unit.h"

namespace {

// systemd expands %-sequences (%n), variables ($HOME) and C escapes (\t) in ExecStart, and a
// line feed would end the line: each is written so that the path reaches exec unchanged.
std::string EscapeExecStart(const std::string& command) {
  std::string escaped;
  escaped.reserve(command.size());
  for (const char c : command) {
    switch (c) {
      case '%':
        escaped += "%%";
        break;
      case '$':
        escaped += "$$";
        break;
      case '\\':
        escaped += "\\\\";
        break;
      case '\n':
        escaped += "\\n";
        break;
      default:
        escaped += c;
        break;
    }
  }
  return escaped;
}

}  // namespace

std::string SystemdUnitText(const std::string& command) {
  return "[Unit]\n"
         "Description=Talvoro_macadress\n"
         "After=network.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" +
         EscapeExecStart(command) +
         "\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}
