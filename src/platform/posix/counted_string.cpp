// Counted strings laid out as a BSTR is: a 32-bit byte count, then the units, then a zero
// unit. The handle points at the first unit, so the count sits just before it.
#include "platform/counted_string.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/heap.h"

namespace platform {
namespace {

using ByteCount = uint32_t;

// The byte count must fit its 32 bits, and the whole block (count and terminator included)
// must fit a size_t on a 32-bit machine too.
constexpr uint32_t kMaxUnits = (UINT32_MAX - sizeof(ByteCount) - sizeof(char16_t)) / 2;

char* BlockOf(Bstr string) {
  return reinterpret_cast<char*>(string) - sizeof(ByteCount);
}

}  // namespace

Bstr SysAllocString(const char16_t* text) {
  if (text == nullptr) {
    return nullptr;
  }
  return SysAllocStringLen(text, static_cast<uint32_t>(std::char_traits<char16_t>::length(text)));
}

Bstr SysAllocStringLen(const char16_t* text, uint32_t units) {
  if (units > kMaxUnits || AllocationFaultDue()) {
    return nullptr;
  }
  const auto byte_count = static_cast<ByteCount>(units * sizeof(char16_t));
  void* block = std::malloc(sizeof(ByteCount) + byte_count + sizeof(char16_t));
  if (block == nullptr) {
    return nullptr;
  }
  std::memcpy(block, &byte_count, sizeof(ByteCount));
  auto* string = reinterpret_cast<Bstr>(static_cast<char*>(block) + sizeof(ByteCount));
  if (text != nullptr) {
    std::memcpy(string, text, byte_count);
  } else {
    std::memset(string, 0, byte_count);
  }
  string[units] = u'\0';
  return string;
}

void SysFreeString(Bstr string) {
  if (string != nullptr) {
    std::free(BlockOf(string));
  }
}

uint32_t SysStringLen(Bstr string) {
  if (string == nullptr) {
    return 0;
  }
  ByteCount byte_count = 0;
  std::memcpy(&byte_count, BlockOf(string), sizeof(ByteCount));
  return byte_count / sizeof(char16_t);
}

}  // namespace platform
