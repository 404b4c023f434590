// What GetAdaptersInfo gives here, read without the service's code: the expected answer of the
// query server and the gateway lines its address lookup traces on the way to it.
// Prints "gateway TEXT" for each adapter up to and including the first whose first gateway
// text does not start with '0', then "address XX-XX-XX-XX-XX-XX" for that one ("address" alone
// when none qualifies). Every adapter also goes to stderr, for the test's report.
#include <winsock2.h>
// IP Helper needs the definitions of winsock2.h first.
#include <iphlpapi.h>

#include <cstdio>
#include <vector>

namespace {

constexpr int kAttempts = 3;  // the list may grow between the size query and the read

}  // namespace

int main() {
  ULONG size = 0;
  std::vector<IP_ADAPTER_INFO> room;
  DWORD result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < kAttempts && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    room.resize(size / sizeof(IP_ADAPTER_INFO) + 1);
    size = static_cast<ULONG>(room.size() * sizeof(IP_ADAPTER_INFO));
    result = GetAdaptersInfo(room.data(), &size);
  }
  if (result != ERROR_SUCCESS) {
    std::fprintf(stderr, "adapter_probe: GetAdaptersInfo failed: %lu\n", result);
    std::puts("address");
    return result == ERROR_NO_DATA ? 0 : 1;
  }
  const IP_ADAPTER_INFO* chosen = nullptr;
  for (const IP_ADAPTER_INFO* adapter = room.data(); adapter != nullptr; adapter = adapter->Next) {
    const char* gateway = adapter->GatewayList.IpAddress.String;
    std::fprintf(stderr, "adapter %s, %u address bytes, gateway %s\n", adapter->Description,
                 adapter->AddressLength, gateway);
    if (chosen == nullptr) {
      std::printf("gateway %s\n", gateway);
      if (gateway[0] != '0') {
        chosen = adapter;
      }
    }
  }
  if (chosen == nullptr) {
    std::puts("address");
    return 0;
  }
  const BYTE* a = chosen->Address;
  std::printf("address %02X-%02X-%02X-%02X-%02X-%02X\n", a[0], a[1], a[2], a[3], a[4], a[5]);
  return 0;
}
