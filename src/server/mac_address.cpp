#include "server/mac_address.h"

#include <atomic>
#include <cstdio>

#include "platform/debug_trace.h"

namespace {

// Replaced by tests only.
std::atomic<AdapterListReader> Reader{nullptr};

uint32_t ReadAdapters(uint32_t* bufferSize, std::vector<platform::AdapterRecord>* adapters) {
  const AdapterListReader reader = Reader.load();
  return reader != nullptr ? reader(bufferSize, adapters)
                           : platform::ReadAdapterList(bufferSize, adapters);
}

}  // namespace

void SetAdapterListReader(AdapterListReader reader) {
  Reader.store(reader);
}

std::string GetMACAddress() {
  uint32_t size = kAdapterListBytes;
  std::vector<platform::AdapterRecord> adapters;
  uint32_t error = ReadAdapters(&size, &adapters);
  if (error == platform::kErrorBufferOverflow) {
    // Machines with many virtual adapters: once more with the room the system asks for.
    adapters.clear();
    error = ReadAdapters(&size, &adapters);
  }
  if (error != 0) {
    // The text goes to the trace only: a service has no desktop to show a box on.
    char text[128];
    std::snprintf(text, sizeof text, "Error for GetAdaptersInfo : %d", static_cast<int>(error));
    platform::WriteDebugTrace(
        ("\n\n GetMACAddress ERROR_SUCCESS 01" + std::string(text) + " ===== \r\n").c_str());
    return {};
  }
  int number = 0;
  for (const platform::AdapterRecord& adapter : adapters) {
    char line[128];
    std::snprintf(line, sizeof line, "%d. %s \n", ++number, adapter.gateway.c_str());
    platform::WriteDebugTrace(line);
    if (adapter.gateway.empty() || adapter.gateway[0] != '0') {
      const uint8_t* a = adapter.address;
      char result[18];
      std::snprintf(result, sizeof result, "%02X-%02X-%02X-%02X-%02X-%02X", a[0], a[1], a[2], a[3],
                    a[4], a[5]);
      return result;
    }
  }
  return {};
}
