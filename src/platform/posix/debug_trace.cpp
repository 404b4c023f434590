// Traces go to syslog at LOG_DEBUG, the nearest thing to a debugger channel a daemon has.
#include "platform/debug_trace.h"

#include <syslog.h>

#include <atomic>

namespace platform {
namespace {

// Installed by tests, read by every thread that writes a trace.
std::atomic<TraceCapture> gCapture{nullptr};

void OpenSystemLogOnce() {
  static const bool opened = [] {
    openlog("talvoro_macadress", LOG_PID, LOG_DAEMON);
    return true;
  }();
  static_cast<void>(opened);
}

}  // namespace

void WriteDebugTrace(const char* text) {
  if (text == nullptr) {
    return;
  }
  if (const TraceCapture capture = gCapture.load(); capture != nullptr) {
    capture(text);
    return;
  }
  OpenSystemLogOnce();
  syslog(LOG_DEBUG, "%s", text);
}

void SetTraceCapture(TraceCapture capture) {
  gCapture.store(capture);
}

}  // namespace platform
