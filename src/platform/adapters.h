// The network adapters in the system's order, each with its hardware address and the text of
// its IPv4 default gateway ("0.0.0.0" when none): GetAdaptersInfo on Windows; on Linux, asked
// of the kernel, the interfaces IPv4 is configured on (an address, or a default route leaving
// through them) that have a six-byte hardware address, in index order, loopback left out; the
// gateway only on those that carry the default route the kernel takes (the main table's with
// the lowest metric; without one, that of the table the first policy rule leads to).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct AdapterRecord {
  uint8_t address[8];
  std::string gateway;
};

inline constexpr uint32_t kErrorBufferOverflow = 111;
inline constexpr uint32_t kErrorNoData = 232;

// `bufferSize` is the room offered in bytes, as GetAdaptersInfo takes it; when it is too small
// the call returns kErrorBufferOverflow and sets `bufferSize` to what is needed. 0 on success.
uint32_t ReadAdapterList(uint32_t* bufferSize, std::vector<AdapterRecord>* adapters);

}  // namespace platform
