#include "platform/message_pump.h"

#include <windows.h>

namespace platform {

// A quit message posted to the thread is taken and has no effect on the caller's course.
void PumpStep() {
  Sleep(5);
  MSG message;
  if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE) != 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace platform
