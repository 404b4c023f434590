// One GetMACAddress call on Linux: the IPv4 default routes asked anew over netlink (the main
// table; all tables and the policy rules when it has none), the interfaces IPv4 is configured
// on by ioctl, and the pick. Measured with the traces going to the trace channel, as in the
// service (no viewer here), and with them dropped before it (the lookup alone). The label is the
// address found.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/debug_trace.h"
#include "server/mac_address.h"

namespace {

void DropTrace(const char* /*text*/) {}

void Measure(benchmark::State& state) {
  std::string address;
  for (auto _ : state) {
    address = GetMACAddress();
    benchmark::DoNotOptimize(address);
  }
  state.SetLabel(address.empty() ? "(no adapter with a gateway)" : address);
}

void GetMACAddressTracesToChannel(benchmark::State& state) {
  platform::SetTraceCapture(nullptr);
  Measure(state);
}

void GetMACAddressTracesDropped(benchmark::State& state) {
  platform::SetTraceCapture(&DropTrace);
  Measure(state);
  platform::SetTraceCapture(nullptr);
}

BENCHMARK(GetMACAddressTracesToChannel)->Unit(benchmark::kMicrosecond);
BENCHMARK(GetMACAddressTracesDropped)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
