#include "platform/message_pump.h"

#include <windows.h>

namespace platform {

// A quit message posted to the thread is taken and has no effect on the caller's course.
void PumpStep() {
  Sleep(kPumpStepMs);
  MSG message;
  if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE) != 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

// Each step looks at the queue, as a run of single steps does.
void PumpSteps(std::size_t count) {
  for (std::size_t step = 0; step < count; ++step) {
    PumpStep();
  }
}

void PaceStepsClosely() {}

}  // namespace platform
