// Prints the adapter list as the service reads it, one adapter a line ("02:00:5e:00:00:01
// 10.0.0.1"), after a line with the reader's result code, and last the address the service
// would reply with ("answer 02-00-5E-00-00-01", or "answer" alone when none qualifies).
#include <cstdio>
#include <vector>

#include "platform/adapters.h"
#include "platform/debug_trace.h"
#include "server/mac_address.h"

namespace {

void DropTrace(const char* /*text*/) {}

}  // namespace

int main() {
  platform::SetTraceCapture(&DropTrace);
  uint32_t size = kAdapterListBytes;
  std::vector<platform::AdapterRecord> adapters;
  uint32_t result = platform::ReadAdapterList(&size, &adapters);
  if (result == platform::kErrorBufferOverflow) {
    adapters.clear();
    result = platform::ReadAdapterList(&size, &adapters);
  }
  std::printf("result %u\n", static_cast<unsigned>(result));
  for (const platform::AdapterRecord& adapter : adapters) {
    const uint8_t* a = adapter.address;
    std::printf("%02x:%02x:%02x:%02x:%02x:%02x %s\n", a[0], a[1], a[2], a[3], a[4], a[5],
                adapter.gateway.c_str());
  }
  const std::string answer = GetMACAddress();
  std::printf("answer%s%s\n", answer.empty() ? "" : " ", answer.c_str());
  return 0;
}
