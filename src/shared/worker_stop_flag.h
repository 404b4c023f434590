// The flag that tells the worker threads to stop. It sits below both the service host, which
// sets it, and the workers, which read it, so that the workers need nothing of the host.
#pragma once

#include <atomic>
#include <cstdint>

// 0 while the workers are to run (set when they are started), 1 once the service stops.
extern std::atomic<int32_t> WorkerStopFlag;
