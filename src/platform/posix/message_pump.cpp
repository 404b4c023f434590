#include "platform/message_pump.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cstdint>

#include "platform/host_process.h"

namespace platform {

// No thread message queue here: the step is the wait alone.
void PumpStep() {
  SleepMilliseconds(kPumpStepMs);
}

void PumpSteps(std::size_t count) {
  constexpr std::size_t kStepsPerWait = 100'000;  // keeps each wait's milliseconds in 32 bits
  while (count > 0) {
    const std::size_t steps = std::min(count, kStepsPerWait);
    SleepMilliseconds(static_cast<uint32_t>(steps * kPumpStepMs));
    count -= steps;
  }
}

void PaceStepsClosely() {
  constexpr unsigned long kSlackNanoseconds = 1000;
  prctl(PR_SET_TIMERSLACK, kSlackNanoseconds, 0, 0, 0);  // a refusal leaves the default slack
}

}  // namespace platform
