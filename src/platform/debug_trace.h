// The debugger output channel for traces: OutputDebugStringA on Windows; on Linux a datagram
// socket that a trace viewer binds (kTraceSocketPath), each trace sent once and dropped when no
// viewer listens. Tests install a capture that receives each trace text in order instead.
#pragma once

#ifndef _WIN32
#include <cstdint>
#include <string>

#include "platform/unique_handle.h"
#endif

namespace platform {

void WriteDebugTrace(const char* text);

using TraceCapture = void (*)(const char* text);
// A null capture gives the traces back to the system channel.
void SetTraceCapture(TraceCapture capture);

// The system channel itself, without the capture.
void WriteSystemTrace(const char* text);

#ifndef _WIN32
// Root's folder and socket: only root can bind it, so only an administrator's viewer receives
// the traces (they hold request headers with the user's Referer); the socket is root's alone.
inline constexpr char kTraceFolderPath[] = "/run/talvoro_macadress";
inline constexpr char kTraceSocketPath[] = "/run/talvoro_macadress/trace";

struct TraceMessage {
  uint32_t processId = 0;  // the sender, as the kernel vouches for it
  uint32_t userId = 0;
  std::string text;
};

void CloseTraceSocket(int descriptor);

// The viewer's end of the channel: binds the trace socket while it lives and removes it after.
class TraceListener {
 public:
  TraceListener() = default;
  ~TraceListener();
  TraceListener(const TraceListener&) = delete;
  TraceListener& operator=(const TraceListener&) = delete;

  // Makes the folder and binds the socket; on failure, what failed and the errno's text.
  bool Open(std::string* failure);
  // Waits for the next trace; false when the socket fails.
  bool Receive(TraceMessage* message) const;

 private:
  UniqueHandle<int, -1, &CloseTraceSocket> socket_;
};
#endif

}  // namespace platform
