// The system converters at flags 0: malformed input becomes U+FFFD rather than an error.
#include "platform/text_codec.h"

#include <windows.h>

namespace platform {
namespace {

static_assert(sizeof(WCHAR) == sizeof(char16_t), "a wide unit must be 16 bits");

// A count of -1 would make the system look for a terminator, and a capacity of 0 with a
// buffer would make it measure; neither is part of our contract, so both fail here.
bool Refused(const void* input, int count, const void* output, int capacity) {
  return input == nullptr || count <= 0 || (output != nullptr && capacity <= 0);
}

// Measures before converting into a buffer: some converter releases write the high half of a
// surrogate pair that does not fit and report success, where our contract is to fail.
template <typename Convert>
int MeasureThenConvert(const void* output, int capacity, Convert convert) {
  const int needed = convert(0);
  if (output == nullptr || needed == 0) {
    return needed;
  }
  return needed > capacity ? 0 : convert(capacity);
}

int ToUtf16(UINT code_page, const char* bytes, int count, char16_t* units, int capacity) {
  if (Refused(bytes, count, units, capacity)) {
    return 0;
  }
  return MeasureThenConvert(units, capacity, [&](int room) {
    return ::MultiByteToWideChar(code_page, 0, bytes, count,
                                 room == 0 ? nullptr : reinterpret_cast<LPWSTR>(units), room);
  });
}

int FromUtf16(UINT code_page, const char16_t* units, int count, char* bytes, int capacity) {
  if (Refused(units, count, bytes, capacity)) {
    return 0;
  }
  return MeasureThenConvert(bytes, capacity, [&](int room) {
    return ::WideCharToMultiByte(code_page, 0, reinterpret_cast<LPCWCH>(units), count,
                                 room == 0 ? nullptr : bytes, room, nullptr, nullptr);
  });
}

}  // namespace

int Utf8ToUtf16(const char* bytes, int count, char16_t* units, int capacity) {
  return ToUtf16(CP_UTF8, bytes, count, units, capacity);
}

int Utf16ToUtf8(const char16_t* units, int count, char* bytes, int capacity) {
  return FromUtf16(CP_UTF8, units, count, bytes, capacity);
}

int CodePageToUtf16(const char* bytes, int count, char16_t* units, int capacity) {
  return ToUtf16(CP_ACP, bytes, count, units, capacity);
}

int Utf16ToCodePage(const char16_t* units, int count, char* bytes, int capacity) {
  return FromUtf16(CP_ACP, units, count, bytes, capacity);
}

}  // namespace platform
