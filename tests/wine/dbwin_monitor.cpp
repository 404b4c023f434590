// Reads the debugger output channel the way a debug-output viewer does, so that a test can see
// a running service's traces: the DBWIN_BUFFER mapping (the writer's pid, then its text) and
// the two events that hand the buffer back and forth. Prints "ready" once it listens, then one
// line per trace, "PID TEXT", with CR, LF, tab, backslash and other control bytes escaped (\r,
// \n, \t, \\, \xHH) so that a trace's own line breaks stay visible.
// Usage: dbwin_monitor SECONDS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr DWORD kBufferBytes = 4096;
constexpr long kMaxSeconds = 600;
constexpr long kMaxTraces = 10'000'000;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct ViewCloser {
  void operator()(void* view) const { UnmapViewOfFile(view); }
};
using UniqueView = std::unique_ptr<void, ViewCloser>;

struct Channel {
  UniqueHandle mutex;
  UniqueHandle mapping;
  UniqueView view;
  UniqueHandle bufferReady;
  UniqueHandle dataReady;
};

// One object of the channel; another monitor that already holds it would take our traces.
HANDLE Fresh(HANDLE handle, const char* name) {
  if (handle == nullptr) {
    std::fprintf(stderr, "dbwin_monitor: cannot create %s: error %lu\n", name, GetLastError());
    return nullptr;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    std::fprintf(stderr, "dbwin_monitor: %s already exists: another monitor runs\n", name);
    CloseHandle(handle);
    return nullptr;
  }
  return handle;
}

bool OpenChannel(Channel* channel) {
  // Writers create the mutex themselves on their first trace, so it may well exist already.
  channel->mutex.reset(CreateMutexA(nullptr, FALSE, "DBWinMutex"));
  channel->mapping.reset(Fresh(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                  kBufferBytes, "DBWIN_BUFFER"),
                               "DBWIN_BUFFER"));
  if (!channel->mutex || !channel->mapping) {
    return false;
  }
  channel->view.reset(MapViewOfFile(channel->mapping.get(), FILE_MAP_READ, 0, 0, kBufferBytes));
  channel->bufferReady.reset(
      Fresh(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"), "DBWIN_BUFFER_READY"));
  channel->dataReady.reset(
      Fresh(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"), "DBWIN_DATA_READY"));
  return channel->view && channel->bufferReady && channel->dataReady;
}

void PrintEscaped(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '\r':
        std::fputs("\\r", stdout);
        break;
      case '\n':
        std::fputs("\\n", stdout);
        break;
      case '\t':
        std::fputs("\\t", stdout);
        break;
      case '\\':
        std::fputs("\\\\", stdout);
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          std::printf("\\x%02X", byte);
        } else {
          std::putchar(byte);
        }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long seconds = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
  if (seconds <= 0 || seconds > kMaxSeconds) {
    std::fprintf(stderr, "usage: dbwin_monitor SECONDS (1 to %ld)\n", kMaxSeconds);
    return 2;
  }
  Channel channel;
  if (!OpenChannel(&channel)) {
    return 1;
  }
  std::puts("ready");
  std::fflush(stdout);

  const auto* buffer = static_cast<const char*>(channel.view.get());
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  for (long traces = 0; traces < kMaxTraces; ++traces) {
    SetEvent(channel.bufferReady.get());
    const ULONGLONG now = GetTickCount64();
    if (now >= end || WaitForSingleObject(channel.dataReady.get(), static_cast<DWORD>(end - now)) !=
                          WAIT_OBJECT_0) {
      break;
    }
    DWORD pid = 0;
    std::memcpy(&pid, buffer, sizeof pid);
    const char* text = buffer + sizeof pid;
    std::printf("%lu ", pid);
    PrintEscaped(text, strnlen(text, kBufferBytes - sizeof pid));
    std::putchar('\n');
    std::fflush(stdout);
  }
  return 0;
}
