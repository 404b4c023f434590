#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "companions/tunnel_watchdog.h"
#include "server/query_server.h"
#include "service/entry.h"
#include "service/service_runtime.h"

namespace {

void TunnelWatchdogWorker() {
  RunTunnelWatchdog();
}
void QueryServerWorker() {
  RunQueryServer();
}

// Started by StartWorkers in this order, each on a thread of its own.
constexpr WorkerRoutine kWorkers[] = {&TunnelWatchdogWorker, &QueryServerWorker};

}  // namespace

int main(int argc, char** argv) {
  SetWorkerRoutines(kWorkers, static_cast<int>(std::size(kWorkers)));
  const int exitCode = ServiceHostMain(argc, argv);
  // The workers still run and nothing waits for them: end the process here rather than run
  // the static destructors under their feet.
  std::fflush(nullptr);
  std::_Exit(exitCode);
}
