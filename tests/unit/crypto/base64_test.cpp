#include "crypto/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/heap.h"
#include "support/trace_recorder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What a row expects of the two outputs.
enum class Outputs {
  kUntouched,  // neither is written
  kNone,       // null buffer, length 0
  kDecoded,    // a new buffer holding `decoded`
};

struct Base64Case {
  const char* name;
  std::optional<std::u16string_view> text;  // nullopt: a null handle
  Status status;
  Outputs outputs;
  Bytes decoded;
  bool length_trace;
};

constexpr std::u16string_view kAlphabetText =
    u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

Bytes Range(uint8_t count) {
  Bytes bytes(count);
  for (uint8_t i = 0; i < count; ++i) {
    bytes[i] = i;
  }
  return bytes;
}

const Base64Case kCases[] = {
    {"null", std::nullopt, S_OK, Outputs::kNone, {}, false},
    {"empty", u"", S_OK, Outputs::kNone, {}, false},
    {"two_pads", u"QQ==", S_OK, Outputs::kDecoded, {0x41}, false},
    {"one_pad", u"QUI=", S_OK, Outputs::kDecoded, {0x41, 0x42}, false},
    {"no_pad", u"QUJD", S_OK, Outputs::kDecoded, {0x41, 0x42, 0x43}, false},
    {"leftover_bits_ignored", u"QR==", S_OK, Outputs::kDecoded, {0x41}, false},
    {"leftover_bits_ignored_one_pad", u"QUJ=", S_OK, Outputs::kDecoded, {0x41, 0x42}, false},
    {"sixteen_bytes", u"AAECAwQFBgcICQoLDA0ODw==", S_OK, Outputs::kDecoded, Range(16), false},
    {"fourteen_bytes", u"AAECAwQFBgcICQoLDA0=", S_OK, Outputs::kDecoded, Range(14), false},
    {"whole_alphabet",
     kAlphabetText,
     S_OK,
     Outputs::kDecoded,
     {0x00, 0x10, 0x83, 0x10, 0x51, 0x87, 0x20, 0x92, 0x8b, 0x30, 0xd3, 0x8f,
      0x41, 0x14, 0x93, 0x51, 0x55, 0x97, 0x61, 0x96, 0x9b, 0x71, 0xd7, 0x9f,
      0x82, 0x18, 0xa3, 0x92, 0x59, 0xa7, 0xa2, 0x9a, 0xab, 0xb2, 0xdb, 0xaf,
      0xc3, 0x1c, 0xb3, 0xd3, 0x5d, 0xb7, 0xe3, 0x9e, 0xbb, 0xf3, 0xdf, 0xbf},
     false},
    {"length_3", u"QUJ", E_INVALIDARG, Outputs::kUntouched, {}, true},
    {"length_5", u"QUJDR", E_INVALIDARG, Outputs::kUntouched, {}, true},
    {"length_6", u"QUJDRA", E_INVALIDARG, Outputs::kUntouched, {}, true},
    {"length_1_pad", u"=", E_INVALIDARG, Outputs::kUntouched, {}, true},
    {"space", u"QUJD RA=", E_INVALIDARG, Outputs::kUntouched, {}, false},
    {"carriage_return", u"QUJD\rRA=", E_INVALIDARG, Outputs::kUntouched, {}, false},
    {"line_feed", u"QUJD\nRA=", E_INVALIDARG, Outputs::kUntouched, {}, false},
    {"pad_before_digit", u"QQ=A", E_INVALIDARG, Outputs::kUntouched, {}, false},
    {"three_pads", u"Q===", E_INVALIDARG, Outputs::kUntouched, {}, false},
    {"only_pads", u"====", E_INVALIDARG, Outputs::kUntouched, {}, false},
    {"pad_in_first_group", u"QQ==QUJD", E_INVALIDARG, Outputs::kUntouched, {}, false},
    {"url_safe_minus", u"QUJ-", E_INVALIDARG, Outputs::kUntouched, {}, false},
    {"url_safe_underscore", u"QUJ_", E_INVALIDARG, Outputs::kUntouched, {}, false},
    {"nul_unit", std::u16string_view(u"QU\0D", 4), E_INVALIDARG, Outputs::kUntouched, {}, false},
    {"high_byte_over_letter", u"QU\u0141D", E_INVALIDARG, Outputs::kUntouched, {}, false},
};

// Written by no decoder path: shows which outputs a call left alone.
uint8_t gSentinelByte = 0;
uint8_t* const kSentinelBytes = &gSentinelByte;
constexpr int32_t kSentinelLength = -12345;

platform::UniqueBstr MakeText(const std::optional<std::u16string_view>& text) {
  if (!text) {
    return nullptr;
  }
  platform::UniqueBstr string(
      platform::SysAllocStringLen(text->data(), static_cast<uint32_t>(text->size())));
  EXPECT_NE(string, nullptr);
  return string;
}

class FromBase64 : public ::testing::TestWithParam<Base64Case> {};

TEST_P(FromBase64, Decodes) {
  const Base64Case& row = GetParam();
  const platform::UniqueBstr text = MakeText(row.text);
  const testing_support::TraceRecorder traces;
  uint8_t* bytes = kSentinelBytes;
  int32_t length = kSentinelLength;

  EXPECT_EQ(_FromBase64(text.get(), &bytes, &length), row.status);
  const platform::UniqueBytes owned(bytes == kSentinelBytes ? nullptr : bytes);

  switch (row.outputs) {
    case Outputs::kUntouched:
      EXPECT_EQ(bytes, kSentinelBytes);
      EXPECT_EQ(length, kSentinelLength);
      break;
    case Outputs::kNone:
      EXPECT_EQ(bytes, nullptr);
      EXPECT_EQ(length, 0);
      break;
    case Outputs::kDecoded:
      ASSERT_NE(bytes, nullptr);
      ASSERT_EQ(length, static_cast<int32_t>(row.decoded.size()));
      EXPECT_EQ(Bytes(bytes, bytes + length), row.decoded);
      break;
  }
  if (row.length_trace) {
    EXPECT_EQ(traces.Lines(), std::vector<std::string>{kBase64LengthTrace});
  } else {
    EXPECT_TRUE(traces.Lines().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Base64, FromBase64, ::testing::ValuesIn(kCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(FromBase64OutOfMemory, LeavesNullBufferAndTheDecodedLength) {
  const platform::UniqueBstr text = MakeText(u"QUI=");
  uint8_t* bytes = kSentinelBytes;
  int32_t length = kSentinelLength;

  platform::FailAllocationAfter(0);
  EXPECT_EQ(_FromBase64(text.get(), &bytes, &length), E_OUTOFMEMORY);
  platform::FailAllocationAfter(-1);

  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(length, 2);
}

TEST(FromBase64OutOfMemory, InvalidTextFailsBeforeAnythingIsAllocated) {
  const platform::UniqueBstr text = MakeText(u"QQ=A");
  uint8_t* bytes = kSentinelBytes;
  int32_t length = kSentinelLength;

  platform::FailAllocationAfter(0);
  EXPECT_EQ(_FromBase64(text.get(), &bytes, &length), E_INVALIDARG);
  // The armed fault was not taken: the next allocation is the one that fails.
  const platform::UniqueBytes next(static_cast<uint8_t*>(platform::HeapAllocate(1)));
  EXPECT_EQ(next, nullptr);
  platform::FailAllocationAfter(-1);
}

// Every 16-bit unit in a digit's place: only the 64 letters are accepted, each with its own
// value; no unit above U+00FF passes by its low byte, and no other byte value slips through.
TEST(FromBase64EveryUnit, OnlyTheAlphabetDecodes) {
  std::vector<uint32_t> wrong;
  for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    const std::u16string text = {u'Q', u'U', static_cast<char16_t>(unit), u'D'};
    const platform::UniqueBstr string = MakeText(text);
    uint8_t* bytes = kSentinelBytes;
    int32_t length = kSentinelLength;
    const Status status = _FromBase64(string.get(), &bytes, &length);
    const platform::UniqueBytes owned(bytes == kSentinelBytes ? nullptr : bytes);
    const std::size_t value = kAlphabetText.find(static_cast<char16_t>(unit));
    if (value == std::u16string_view::npos) {
      if (status != E_INVALIDARG || bytes != kSentinelBytes) {
        wrong.push_back(unit);
      }
      continue;
    }
    // Q and U are 16 and 20, D is 3.
    const Bytes expected = {0x41, static_cast<uint8_t>(0x40U | (value >> 2U)),
                            static_cast<uint8_t>(((value & 3U) << 6U) | 3U)};
    if (status != S_OK || length != 3 || Bytes(bytes, bytes + 3) != expected) {
      wrong.push_back(unit);
    }
  }
  EXPECT_EQ(wrong, std::vector<uint32_t>{});
}

}  // namespace
