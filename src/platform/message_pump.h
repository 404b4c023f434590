// The workers' pacing step: wait 5 ms, then take at most one message from the calling
// thread's queue and dispatch it (Windows); off Windows there is no queue, only the wait.
#pragma once

namespace platform {

void PumpStep();

}  // namespace platform
