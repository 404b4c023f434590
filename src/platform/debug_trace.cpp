#include "platform/debug_trace.h"

#include <atomic>

namespace platform {
namespace {

// Installed by tests, read by every thread that writes a trace.
std::atomic<TraceCapture> Capture{nullptr};

}  // namespace

void WriteDebugTrace(const char* text) {
  if (text == nullptr) {
    return;
  }
  if (const TraceCapture capture = Capture.load(); capture != nullptr) {
    capture(text);
    return;
  }
  WriteSystemTrace(text);
}

void SetTraceCapture(TraceCapture capture) {
  Capture.store(capture);
}

}  // namespace platform
