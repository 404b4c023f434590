#include "crypto/utf8_conversion.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/heap.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Stand-ins that no conversion writes: show which outputs a call left alone.
char16_t gSentinelUnit = u'?';
platform::Bstr const kSentinelString = &gSentinelUnit;
uint8_t gSentinelByte = 0;
uint8_t* const kSentinelBytes = &gSentinelByte;
constexpr int32_t kSentinelCount = -12345;

Bytes BytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

std::u16string_view View(platform::Bstr string) {
  return {string, platform::SysStringLen(string)};
}

class Utf8ConversionTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::FailAllocationAfter(-1); }
};

// _FromUtf8 ------------------------------------------------------------------------------

struct FromUtf8Case {
  const char* name;
  std::string_view utf8;
  std::u16string_view expected;
};

const FromUtf8Case kFromUtf8Cases[] = {
    {"ascii", "abc", u"abc"},
    {"two_byte", "\xC3\xA9", u"\u00e9"},
    {"four_byte", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
    {"malformed_byte", "a\xFFz", u"a\uFFFDz"},
    {"embedded_zero", std::string_view("a\0b", 3), std::u16string_view(u"a\0b", 3)},
    {"only_zero", std::string_view("\0", 1), std::u16string_view(u"\0", 1)},
};

class FromUtf8 : public ::testing::TestWithParam<FromUtf8Case> {};

TEST_P(FromUtf8, ConvertsEveryByte) {
  const Bytes input = BytesOf(GetParam().utf8);
  platform::Bstr string = kSentinelString;
  ASSERT_EQ(_FromUtf8(input.data(), static_cast<int32_t>(input.size()), &string), S_OK);
  const platform::UniqueBstr owned(string);
  ASSERT_NE(string, nullptr);
  EXPECT_EQ(View(string), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Utf8Conversion, FromUtf8, ::testing::ValuesIn(kFromUtf8Cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Utf8ConversionTest, FromNoBytesGivesEmptyNonNullString) {
  const uint8_t byte = 'x';
  for (const uint8_t* bytes : {&byte, static_cast<const uint8_t*>(nullptr)}) {
    platform::Bstr string = kSentinelString;
    ASSERT_EQ(_FromUtf8(bytes, 0, &string), S_OK);
    const platform::UniqueBstr owned(string);
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(platform::SysStringLen(string), 0U);
  }
}

TEST_F(Utf8ConversionTest, FromUtf8OutOfMemoryGivesNullHandle) {
  const Bytes input = BytesOf("abc");
  for (const int32_t count : {3, 0}) {
    platform::Bstr string = kSentinelString;
    platform::FailAllocationAfter(0);
    EXPECT_EQ(_FromUtf8(input.data(), count, &string), E_OUTOFMEMORY) << count << " bytes";
    EXPECT_EQ(string, nullptr) << count << " bytes";
  }
}

TEST_F(Utf8ConversionTest, FromUtf8WithNothingMeasuredFailsWithoutWriting) {
  const Bytes input = BytesOf("abc");
  platform::Bstr string = kSentinelString;
  EXPECT_EQ(_FromUtf8(input.data(), -1, &string), E_FAIL);
  EXPECT_EQ(string, kSentinelString);
}

// _ToUtf8 --------------------------------------------------------------------------------

struct ToUtf8Case {
  const char* name;
  std::u16string_view text;
  std::string_view expected;
};

const ToUtf8Case kToUtf8Cases[] = {
    {"ascii", u"key phrase", "key phrase"},
    {"e_acute", u"\u00e9", "\xC3\xA9"},
    {"surrogate_pair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
    {"unpaired_surrogate", u"a\xD800z", "a\xEF\xBF\xBDz"},
    {"embedded_zero", std::u16string_view(u"a\0b", 3), std::string_view("a\0b", 3)},
};

class ToUtf8 : public ::testing::TestWithParam<ToUtf8Case> {};

TEST_P(ToUtf8, ConvertsEveryUnit) {
  const std::u16string_view text = GetParam().text;
  const platform::UniqueBstr string(
      platform::SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size())));
  ASSERT_NE(string, nullptr);
  uint8_t* bytes = kSentinelBytes;
  int32_t count = kSentinelCount;
  ASSERT_EQ(_ToUtf8(string.get(), &bytes, &count), S_OK);
  const platform::UniqueBytes owned(bytes);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(Bytes(bytes, bytes + count), BytesOf(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Utf8Conversion, ToUtf8, ::testing::ValuesIn(kToUtf8Cases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Utf8ConversionTest, ToUtf8OfNullOrEmptyGivesNoBuffer) {
  const platform::UniqueBstr empty(platform::SysAllocString(u""));
  ASSERT_NE(empty, nullptr);
  for (platform::Bstr string : {static_cast<platform::Bstr>(nullptr), empty.get()}) {
    uint8_t* bytes = kSentinelBytes;
    int32_t count = kSentinelCount;
    EXPECT_EQ(_ToUtf8(string, &bytes, &count), S_OK);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(count, 0);
  }
}

TEST_F(Utf8ConversionTest, ToUtf8OutOfMemoryGivesNullBufferAndTheMeasuredCount) {
  const platform::UniqueBstr string(platform::SysAllocString(u"\u00e9"));
  ASSERT_NE(string, nullptr);
  uint8_t* bytes = kSentinelBytes;
  int32_t count = kSentinelCount;
  platform::FailAllocationAfter(0);
  EXPECT_EQ(_ToUtf8(string.get(), &bytes, &count), E_OUTOFMEMORY);
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(count, 2);
}

}  // namespace
