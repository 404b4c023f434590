#include "crypto/base64.h"

#include <array>
#include <cstddef>
#include <string_view>

#include "platform/debug_trace.h"
#include "platform/heap.h"

namespace {

// The standard alphabet (RFC 4648, section 4).
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char16_t kPad = u'=';
constexpr uint8_t kNotADigit = 0xFF;

// Each byte's digit value, or kNotADigit: one lookup per unit instead of a search.
constexpr std::array<uint8_t, 256> kDigitValues = [] {
  std::array<uint8_t, 256> values{};
  values.fill(kNotADigit);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
  }
  return values;
}();

// A unit above U+00FF is no digit whatever its low byte, which alone indexes the table. Digit
// values have bit 7 clear; kNotADigit has it set.
uint8_t LookUp(char16_t unit) {
  const auto high = static_cast<uint8_t>(unit > 0xFFU ? kNotADigit : 0);
  return static_cast<uint8_t>(kDigitValues[unit & 0xFFU] | high);
}

// Only called on units already validated as digits.
uint8_t DigitValue(char16_t unit) {
  return kDigitValues[unit];
}

// '=' may stand only as the last unit or as the last two; everything else must be a digit.
// `text` holds at least 4 units.
bool IsValidBase64(std::u16string_view text) {
  std::size_t digits = text.size();
  if (text[digits - 1] == kPad) {
    digits -= text[digits - 2] == kPad ? 2 : 1;
  }
  // No early exit: the loop stays free of branches on the text.
  unsigned int seen = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    seen |= LookUp(text[i]);
  }
  return (seen & 0x80U) == 0;
}

// Decodes validated text into exactly as many bytes as its padding leaves.
void DecodeGroups(std::u16string_view text, uint8_t* out) {
  // Only the last group can hold padding; the others go without looking for it.
  const std::size_t lastGroup = text.size() - 4;
  for (std::size_t group = 0; group < lastGroup; group += 4) {
    const uint32_t bits = (uint32_t{DigitValue(text[group])} << 18U) |
                          (uint32_t{DigitValue(text[group + 1])} << 12U) |
                          (uint32_t{DigitValue(text[group + 2])} << 6U) |
                          uint32_t{DigitValue(text[group + 3])};
    *out++ = static_cast<uint8_t>(bits >> 16U);
    *out++ = static_cast<uint8_t>(bits >> 8U);
    *out++ = static_cast<uint8_t>(bits);
  }
  const std::size_t group = lastGroup;
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
  *out = static_cast<uint8_t>((third << 6U) | DigitValue(text[group + 3]));
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
