// UTF-8 <-> UTF-16 with the replacement rules of the Windows converters at flags 0, so that
// the service treats malformed text alike on both systems. The system code page is UTF-8 here.
#include "platform/text_codec.h"

#include <climits>
#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Collects output units or bytes, or only counts them when there is no output buffer.
template <typename Unit>
class Output {
 public:
  Output(Unit* out, int capacity) : out_(out), capacity_(capacity) {}

  // False once the output is full or the count would leave an int.
  bool Put(Unit unit) {
    if (out_ != nullptr) {
      if (written_ >= capacity_) {
        return false;
      }
      out_[written_] = unit;
    } else if (written_ == INT_MAX) {
      return false;
    }
    ++written_;
    return true;
  }

  [[nodiscard]] int Written() const { return written_; }

 private:
  Unit* out_;
  int capacity_;
  int written_ = 0;
};

bool IsContinuation(uint8_t byte) {
  return (byte & 0xC0U) == 0x80U;
}

// The range the second byte of a sequence must fall in, given its lead byte; this is what
// rules out overlong forms, encoded surrogates and values above U+10FFFF.
struct SecondByteRange {
  uint8_t low;
  uint8_t high;
};
SecondByteRange SecondByteRangeFor(uint8_t lead) {
  switch (lead) {
    case 0xE0:
      return {0xA0, 0xBF};
    case 0xED:
      return {0x80, 0x9F};
    case 0xF0:
      return {0x90, 0xBF};
    case 0xF4:
      return {0x80, 0x8F};
    default:
      return {0x80, 0xBF};
  }
}

// Length of the sequence a lead byte starts; 0 for a byte that cannot start one.
int SequenceLength(uint8_t lead) {
  if (lead < 0x80U) {
    return 1;
  }
  if (lead >= 0xC2U && lead <= 0xDFU) {
    return 2;
  }
  if (lead >= 0xE0U && lead <= 0xEFU) {
    return 3;
  }
  if (lead >= 0xF0U && lead <= 0xF4U) {
    return 4;
  }
  return 0;
}

// Decodes one character at `bytes[*at]` and moves past it. A malformed sequence gives U+FFFD
// and is left after its maximal ill-formed subsequence, so each such part costs one U+FFFD.
char32_t DecodeOne(const uint8_t* bytes, int count, int* at) {
  const uint8_t lead = bytes[*at];
  ++*at;
  const int length = SequenceLength(lead);
  if (length == 1) {
    return lead;
  }
  if (length == 0) {
    return kReplacement;
  }
  const SecondByteRange second = SecondByteRangeFor(lead);
  if (*at >= count || bytes[*at] < second.low || bytes[*at] > second.high) {
    return kReplacement;
  }
  char32_t value = lead & (0xFFU >> (length + 1));
  for (int i = 1; i < length; ++i) {
    if (*at >= count || !IsContinuation(bytes[*at])) {
      return kReplacement;
    }
    value = (value << 6U) | (bytes[*at] & 0x3FU);
    ++*at;
  }
  return value;
}

bool PutUtf16(char32_t value, Output<char16_t>& out) {
  if (value < 0x10000U) {
    return out.Put(static_cast<char16_t>(value));
  }
  const char32_t offset = value - 0x10000U;
  return out.Put(static_cast<char16_t>(0xD800U + (offset >> 10U))) &&
         out.Put(static_cast<char16_t>(0xDC00U + (offset & 0x3FFU)));
}

// Reads one character at `units[*at]` and moves past it; an unpaired surrogate gives U+FFFD.
char32_t ReadOne(const char16_t* units, int count, int* at) {
  const char32_t unit = units[*at];
  ++*at;
  if (unit < 0xD800U || unit > 0xDFFFU) {
    return unit;
  }
  if (unit >= 0xDC00U || *at >= count || units[*at] < 0xDC00U || units[*at] > 0xDFFFU) {
    return kReplacement;
  }
  const char32_t low = units[*at];
  ++*at;
  return 0x10000U + ((unit - 0xD800U) << 10U) + (low - 0xDC00U);
}

bool PutUtf8(char32_t value, Output<char>& out) {
  const auto put = [&out](char32_t byte) { return out.Put(static_cast<char>(byte)); };
  if (value < 0x80U) {
    return put(value);
  }
  if (value < 0x800U) {
    return put(0xC0U | (value >> 6U)) && put(0x80U | (value & 0x3FU));
  }
  if (value < 0x10000U) {
    return put(0xE0U | (value >> 12U)) && put(0x80U | ((value >> 6U) & 0x3FU)) &&
           put(0x80U | (value & 0x3FU));
  }
  return put(0xF0U | (value >> 18U)) && put(0x80U | ((value >> 12U) & 0x3FU)) &&
         put(0x80U | ((value >> 6U) & 0x3FU)) && put(0x80U | (value & 0x3FU));
}

}  // namespace

int Utf8ToUtf16(const char* bytes, int count, char16_t* units, int capacity) {
  if (bytes == nullptr || count <= 0) {
    return 0;
  }
  const auto* input = reinterpret_cast<const uint8_t*>(bytes);
  Output<char16_t> out(units, capacity);
  for (int at = 0; at < count;) {
    if (!PutUtf16(DecodeOne(input, count, &at), out)) {
      return 0;
    }
  }
  return out.Written();
}

int Utf16ToUtf8(const char16_t* units, int count, char* bytes, int capacity) {
  if (units == nullptr || count <= 0) {
    return 0;
  }
  Output<char> out(bytes, capacity);
  for (int at = 0; at < count;) {
    if (!PutUtf8(ReadOne(units, count, &at), out)) {
      return 0;
    }
  }
  return out.Written();
}

int CodePageToUtf16(const char* bytes, int count, char16_t* units, int capacity) {
  return Utf8ToUtf16(bytes, count, units, capacity);
}

int Utf16ToCodePage(const char16_t* units, int count, char* bytes, int capacity) {
  return Utf16ToUtf8(units, count, bytes, capacity);
}

}  // namespace platform
