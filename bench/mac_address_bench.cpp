// One GetMACAddress call on Linux: the kernel's interface list and IPv4 routes asked anew over
// netlink (and its policy rules when the main table has no default route), and the pick.
// Measured with the traces going to the system log, as in the service, and with them dropped
// (the lookup alone). The label is the address found.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/debug_trace.h"
#include "server/mac_address.h"

namespace {

// Each call writes a trace line per adapter it looks at: bounded, so that a run does not flood
// the machine's log.
constexpr benchmark::IterationCount kSystemLogIterations = 2000;

void DropTrace(const char* /*text*/) {}

void Measure(benchmark::State& state) {
  std::string address;
  for (auto _ : state) {
    address = GetMACAddress();
    benchmark::DoNotOptimize(address);
  }
  state.SetLabel(address.empty() ? "(no adapter with a gateway)" : address);
}

void GetMACAddressTracesToSystemLog(benchmark::State& state) {
  platform::SetTraceCapture(nullptr);
  Measure(state);
}

void GetMACAddressTracesDropped(benchmark::State& state) {
  platform::SetTraceCapture(&DropTrace);
  Measure(state);
  platform::SetTraceCapture(nullptr);
}

BENCHMARK(GetMACAddressTracesToSystemLog)
    ->Iterations(kSystemLogIterations)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(GetMACAddressTracesDropped)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
