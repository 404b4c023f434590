#include "crypto/utf8_conversion.h"

#include <cstddef>

#include "platform/heap.h"
#include "platform/text_codec.h"

namespace {

// Plain ASCII, the usual case for an origin and a pass phrase, is one unit per byte either
// way: converted here directly, it gives what the converters give, without their per-character
// work and their second pass.
template <typename Unit>
bool IsAscii(const Unit* text, std::size_t count) {
  unsigned int seen = 0;
  for (std::size_t i = 0; i < count; ++i) {
    seen |= static_cast<unsigned int>(text[i]);
  }
  return seen < 0x80U;
}

}  // namespace

Status _FromUtf8(const uint8_t* bytes, int32_t count, platform::Bstr* string) {
  if (count == 0) {
    *string = platform::SysAllocString(u"");
    return *string == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  if (count > 0 && IsAscii(bytes, static_cast<std::size_t>(count))) {
    platform::Bstr widened = platform::SysAllocStringLen(nullptr, static_cast<uint32_t>(count));
    if (widened == nullptr) {
      *string = nullptr;
      return E_OUTOFMEMORY;
    }
    for (int32_t i = 0; i < count; ++i) {
      widened[i] = static_cast<char16_t>(bytes[i]);
    }
    *string = widened;
    return S_OK;
  }
  const auto* input = reinterpret_cast<const char*>(bytes);
  const int units = platform::Utf8ToUtf16(input, count, nullptr, 0);
  if (units == 0) {
    return E_FAIL;
  }
  platform::UniqueBstr converted(
      platform::SysAllocStringLen(nullptr, static_cast<uint32_t>(units)));
  if (!converted) {
    *string = nullptr;
    return E_OUTOFMEMORY;
  }
  if (platform::Utf8ToUtf16(input, count, converted.get(), units) != units) {
    *string = nullptr;
    return E_FAIL;
  }
  *string = converted.release();
  return S_OK;
}

Status _ToUtf8(platform::Bstr string, uint8_t** bytes, int32_t* count) {
  *bytes = nullptr;
  *count = 0;
  const uint32_t units = platform::SysStringLen(string);
  if (units == 0) {
    return S_OK;
  }
  // A counted string holds fewer than 2^31 units, so the count fits an int.
  const int length = static_cast<int>(units);
  if (IsAscii(string, units)) {
    *count = length;
    platform::UniqueBytes narrowed(static_cast<uint8_t*>(platform::HeapAllocate(units)));
    if (!narrowed) {
      return E_OUTOFMEMORY;
    }
    for (uint32_t i = 0; i < units; ++i) {
      narrowed[i] = static_cast<uint8_t>(string[i]);
    }
    *bytes = narrowed.release();
    return S_OK;
  }
  *count = platform::Utf16ToUtf8(string, length, nullptr, 0);
  if (*count == 0) {
    return E_FAIL;
  }
  platform::UniqueBytes converted(
      static_cast<uint8_t*>(platform::HeapAllocate(static_cast<std::size_t>(*count))));
  if (!converted) {
    return E_OUTOFMEMORY;
  }
  auto* output = reinterpret_cast<char*>(converted.get());
  if (platform::Utf16ToUtf8(string, length, output, *count) != *count) {
    return E_FAIL;
  }
  *bytes = converted.release();
  return S_OK;
}
