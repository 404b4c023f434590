// The hardware address of the first adapter, in the system's order, that has a gateway.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/adapters.h"

// "00-1A-2B-3C-4D-5E", or empty when no adapter qualifies or the list cannot be read.
std::string GetMACAddress();

// Tests: where the adapter list comes from; null restores the system's.
using AdapterListReader = uint32_t (*)(uint32_t* bufferSize,
                                       std::vector<platform::AdapterRecord>* adapters);
void SetAdapterListReader(AdapterListReader reader);

inline constexpr uint32_t kAdapterListBytes = 12800;  // room for 20 adapters
