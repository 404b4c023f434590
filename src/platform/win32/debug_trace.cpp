// Traces go to the debugger output channel, where a debugger or a debug-output viewer shows them.
#include <windows.h>

#include "platform/debug_trace.h"

namespace platform {

void WriteSystemTrace(const char* text) {
  ::OutputDebugStringA(text);
}

}  // namespace platform
