#include "crypto/utf8_conversion.h"

#include "platform/heap.h"
#include "platform/text_codec.h"

Status _FromUtf8(const uint8_t* bytes, int32_t count, platform::Bstr* string) {
  if (count == 0) {
    *string = platform::SysAllocString(u"");
    return *string == nullptr ? E_OUTOFMEMORY : S_OK;
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
