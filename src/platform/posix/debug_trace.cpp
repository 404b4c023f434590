// Traces go to syslog at LOG_DEBUG, the nearest thing to a debugger channel a daemon has.
#include <syslog.h>

#include "platform/debug_trace.h"

namespace platform {

void WriteSystemTrace(const char* text) {
  static const bool opened = [] {
    openlog("talvoro_macadress", LOG_PID, LOG_DAEMON);
    return true;
  }();
  static_cast<void>(opened);
  syslog(LOG_DEBUG, "%s", text);
}

}  // namespace platform
