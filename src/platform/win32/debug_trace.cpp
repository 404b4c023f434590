// Traces go to the debugger output channel, where a debugger or DebugView shows them.
#include "platform/debug_trace.h"

#include <windows.h>

#include <atomic>

namespace platform {
namespace {

// Installed by tests, read by every thread that writes a trace.
std::atomic<TraceCapture> gCapture{nullptr};

}  // namespace

void WriteDebugTrace(const char* text) {
  if (text == nullptr) {
    return;
  }
  if (const TraceCapture capture = gCapture.load(); capture != nullptr) {
    capture(text);
    return;
  }
  ::OutputDebugStringA(text);
}

void SetTraceCapture(TraceCapture capture) {
  gCapture.store(capture);
}

}  // namespace platform
