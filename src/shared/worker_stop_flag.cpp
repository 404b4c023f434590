#include "shared/worker_stop_flag.h"

// Written by StartWorkers (0) and the control handler (1); read by the workers.
std::atomic<int32_t> WorkerStopFlag{0};
