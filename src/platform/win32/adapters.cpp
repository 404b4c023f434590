#include "platform/adapters.h"

#include <winsock2.h>
// IP Helper needs the definitions of winsock2.h first.
#include <iphlpapi.h>

#include <cstring>
#include <memory>

namespace platform {

uint32_t ReadAdapterList(uint32_t* bufferSize, std::vector<AdapterRecord>* adapters) {
  ULONG size = *bufferSize;
  // IP_ADAPTER_INFO holds pointers: the buffer must be aligned for them.
  const std::size_t words = (size + sizeof(void*) - 1) / sizeof(void*);
  const auto buffer = std::make_unique<void*[]>(words == 0 ? 1 : words);
  auto* first = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get());
  const DWORD result = GetAdaptersInfo(size == 0 ? nullptr : first, &size);
  *bufferSize = size;
  if (result != ERROR_SUCCESS) {
    return result;
  }
  for (const IP_ADAPTER_INFO* adapter = first; adapter != nullptr; adapter = adapter->Next) {
    AdapterRecord record{};
    std::memcpy(record.address, adapter->Address, sizeof record.address);
    record.gateway = adapter->GatewayList.IpAddress.String;
    adapters->push_back(std::move(record));
  }
  return 0;
}

}  // namespace platform
