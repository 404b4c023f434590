// The workers' pacing step: wait 5 ms, then take at most one message from the calling
// thread's queue and dispatch it (Windows); off Windows there is no queue, only the wait.
#pragma once

#include <cstddef>

namespace platform {

inline constexpr unsigned kPumpStepMs = 5;

void PumpStep();

// `count` steps one after another with nothing in between. Off Windows, with no queue to look
// at between them, that is one wait of count x 5 ms: the same time, one wake-up instead of one
// per step.
void PumpSteps(std::size_t count);

// The calling thread's steps end as near their 5 ms as the system allows. Linux lets a thread's
// sleep run up to 50 us long by default (timer slack), to merge wake-ups; a step between two
// connections is time the next caller waits, so it asks for 1 us. Windows has no such setting
// per thread.
void PaceStepsClosely();

}  // namespace platform
