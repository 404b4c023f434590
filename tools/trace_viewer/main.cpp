// trace_viewer: shows the service's diagnostic traces as they are sent, one line each:
// "[PID] text", the text's control and non-ASCII bytes escaped (\r, \n, \t, \\, \xHH) so that a
// request's headers cannot drive the terminal. Run as root; while none runs, traces are dropped.
#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>

#include "platform/debug_trace.h"

namespace {

constexpr char kUsage[] =
    "usage: trace_viewer [--pid PID]\n"
    "Shows the traces of talvoro_macadress (of one process with --pid) until interrupted.\n"
    "Runs as root: it binds /run/talvoro_macadress/trace, which only root can send to.\n";

std::string Escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      shown += "\\\\";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (byte < 0x20 || byte >= 0x7f) {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xf];
    } else {
      shown += c;
    }
  }
  return shown;
}

bool ParsePid(std::string_view text, uint32_t* pid) {
  if (text.empty() || text.size() > 9) {
    return false;
  }
  uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  *pid = value;
  return value != 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t onlyPid = 0;  // every sender
  const bool pidGiven =
      argc == 3 && std::string_view(argv[1]) == "--pid" && ParsePid(argv[2], &onlyPid);
  if (argc != 1 && !pidGiven) {
    const bool help = argc == 2 && std::string_view(argv[1]) == "--help";
    (help ? std::cout : std::cerr) << kUsage;
    return help ? 0 : 2;
  }
  platform::TraceListener listener;
  std::string failure;
  if (!listener.Open(&failure)) {
    std::cerr << "trace_viewer: " << failure << "\n";
    return 1;
  }
  std::cerr << "trace_viewer: listening on " << platform::kTraceSocketPath << "\n";
  platform::TraceMessage message;
  while (listener.Receive(&message)) {
    if (onlyPid == 0 || message.processId == onlyPid) {
      std::cout << '[' << message.processId << "] " << Escaped(message.text) << std::endl;
    }
  }
  std::cerr << "trace_viewer: receiving failed\n";
  return 1;
}
