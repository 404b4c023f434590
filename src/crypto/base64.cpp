#include "crypto/base64.h"

#include <string_view>

#include "platform/debug_trace.h"
#include "platform/heap.h"

namespace {

// The standard alphabet (RFC 4648, section 4) as 16-bit units, so that a unit above U+00FF
// never matches a letter by its low byte.
constexpr std::u16string_view kAlphabet =
    u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char16_t kPad = u'=';

bool IsDigit(char16_t unit) {
  return kAlphabet.find(unit) != std::u16string_view::npos;
}

// Only called on units already validated as digits.
uint8_t DigitValue(char16_t unit) {
  return static_cast<uint8_t>(kAlphabet.find(unit));
}

// '=' may stand only as the last unit or as the last two; everything else must be a digit.
bool IsValidBase64(std::u16string_view text) {
  const std::size_t last = text.size() - 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == last && text[i] == kPad) {
      return true;
    }
    if (i == last - 1 && text[i] == kPad && text[last] == kPad) {
      return true;
    }
    if (!IsDigit(text[i])) {
      return false;
    }
  }
  return true;
}

// Decodes validated text into exactly as many bytes as its padding leaves.
void DecodeGroups(std::u16string_view text, uint8_t* out) {
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const uint8_t first = DigitValue(text[group]);
    const uint8_t second = DigitValue(text[group + 1]);
    *out++ = static_cast<uint8_t>((first << 2U) | (second >> 4U));
    if (text[group + 2] == kPad) {
      return;
    }
    const uint8_t third = DigitValue(text[group + 2]);
    *out++ = static_cast<uint8_t>((second << 4U) | (third >> 2U));
    if (text[group + 3] == kPad) {
      return;
    }
    *out++ = static_cast<uint8_t>((third << 6U) | DigitValue(text[group + 3]));
  }
}

}  // namespace

Status _FromBase64(platform::Bstr text, uint8_t** bytes, int32_t* length) {
  const uint32_t units = platform::SysStringLen(text);
  if (units == 0) {
    *bytes = nullptr;
    *length = 0;
    return S_OK;
  }
  if (units % 4 != 0) {
    platform::WriteDebugTrace(kBase64LengthTrace);
    return E_INVALIDARG;
  }
  const std::u16string_view view(text, units);
  if (!IsValidBase64(view)) {
    return E_INVALIDARG;
  }
  // A counted string holds fewer than 2^31 units, so the byte count fits 32 signed bits.
  uint32_t decoded = units / 4 * 3;
  if (view[units - 1] == kPad) {
    --decoded;
  }
  if (view[units - 2] == kPad) {
    --decoded;
  }
  *length = static_cast<int32_t>(decoded);
  *bytes = static_cast<uint8_t*>(platform::HeapAllocate(decoded));
  if (*bytes == nullptr) {
    return E_OUTOFMEMORY;
  }
  DecodeGroups(view, *bytes);
  return S_OK;
}
