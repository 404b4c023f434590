#include "platform/message_pump.h"

#include "platform/host_process.h"

namespace platform {

// No thread message queue here: the step is the wait alone.
void PumpStep() {
  SleepMilliseconds(5);
}

}  // namespace platform
