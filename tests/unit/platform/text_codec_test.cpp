#include "platform/text_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

struct CodecCase {
  const char* name;
  std::string_view utf8;
  std::u16string_view utf16;
};

int Size(std::string_view text) {
  return static_cast<int>(text.size());
}
int Size(std::u16string_view text) {
  return static_cast<int>(text.size());
}

// Measures, converts into an exact buffer, and checks that one unit less does not fit.
std::u16string ToUtf16(std::string_view utf8) {
  const int units = platform::Utf8ToUtf16(utf8.data(), Size(utf8), nullptr, 0);
  std::u16string out(static_cast<std::size_t>(units), u'?');
  if (units > 0) {
    EXPECT_EQ(platform::Utf8ToUtf16(utf8.data(), Size(utf8), out.data(), units), units);
    EXPECT_EQ(platform::Utf8ToUtf16(utf8.data(), Size(utf8), out.data(), units - 1), 0);
  }
  return out;
}

std::string ToUtf8(std::u16string_view utf16) {
  const int bytes = platform::Utf16ToUtf8(utf16.data(), Size(utf16), nullptr, 0);
  std::string out(static_cast<std::size_t>(bytes), '?');
  if (bytes > 0) {
    EXPECT_EQ(platform::Utf16ToUtf8(utf16.data(), Size(utf16), out.data(), bytes), bytes);
    EXPECT_EQ(platform::Utf16ToUtf8(utf16.data(), Size(utf16), out.data(), bytes - 1), 0);
  }
  return out;
}

// Well-formed text, converted both ways.
const CodecCase kRoundTrips[] = {
    {"ascii", "plain text", u"plain text"},
    {"two_byte", "\xC3\xA9", u"\u00e9"},
    {"three_byte", "\xE2\x82\xAC", u"\u20ac"},
    {"four_byte_is_a_surrogate_pair", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
    {"highest_character", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
    {"embedded_zero", std::string_view("a\0b", 3), std::u16string_view(u"a\0b", 3)},
    {"mixed", "x\xC3\xA9\xF0\x9F\x98\x80y", u"x\u00e9\xD83D\xDE00y"},
};

class RoundTrip : public ::testing::TestWithParam<CodecCase> {};

TEST_P(RoundTrip, Utf8ToUtf16) {
  EXPECT_EQ(ToUtf16(GetParam().utf8), GetParam().utf16);
}
TEST_P(RoundTrip, Utf16ToUtf8) {
  EXPECT_EQ(ToUtf8(GetParam().utf16), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(TextCodec, RoundTrip, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& row) { return std::string(row.param.name); });

// Malformed input on which the Windows converters and our own agree.
const CodecCase kMalformedUtf8[] = {
    {"invalid_byte", "a\xFFz", u"a\uFFFDz"},
    {"lone_continuation", "a\x80z", u"a\uFFFDz"},
};

class MalformedUtf8 : public ::testing::TestWithParam<CodecCase> {};

TEST_P(MalformedUtf8, BecomesReplacementCharacter) {
  EXPECT_EQ(ToUtf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(TextCodec, MalformedUtf8, ::testing::ValuesIn(kMalformedUtf8),
                         [](const auto& row) { return std::string(row.param.name); });

const CodecCase kUnpairedSurrogates[] = {
    {"lone_high", "a\xEF\xBF\xBDz", u"a\xD800z"},
    {"lone_low", "a\xEF\xBF\xBDz", u"a\xDC00z"},
    {"high_at_the_end", "a\xEF\xBF\xBD", u"a\xD83D"},
    {"two_lows", "\xEF\xBF\xBD\xEF\xBF\xBD", u"\xDC00\xDC00"},
    {"reversed_pair", "\xEF\xBF\xBD\xEF\xBF\xBD", u"\xDE00\xD83D"},
};

class UnpairedSurrogate : public ::testing::TestWithParam<CodecCase> {};

TEST_P(UnpairedSurrogate, BecomesEncodedReplacementCharacter) {
  EXPECT_EQ(ToUtf8(GetParam().utf16), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(TextCodec, UnpairedSurrogate, ::testing::ValuesIn(kUnpairedSurrogates),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(TextCodec, NothingToConvertFails) {
  char16_t units[4] = {};
  char bytes[4] = {};
  EXPECT_EQ(platform::Utf8ToUtf16("abc", 0, units, 4), 0);
  EXPECT_EQ(platform::Utf8ToUtf16("abc", -1, units, 4), 0);
  EXPECT_EQ(platform::Utf16ToUtf8(u"abc", 0, bytes, 4), 0);
  EXPECT_EQ(platform::Utf16ToUtf8(u"abc", -1, bytes, 4), 0);
}

TEST(TextCodec, BufferWithoutRoomFails) {
  char16_t units[4] = {};
  char bytes[4] = {};
  EXPECT_EQ(platform::Utf8ToUtf16("abc", 3, units, 0), 0);
  EXPECT_EQ(platform::Utf16ToUtf8(u"abc", 3, bytes, 0), 0);
  // A character that does not fit whole is not written in part.
  EXPECT_EQ(platform::Utf8ToUtf16("a\xF0\x9F\x98\x80", 5, units, 2), 0);
  EXPECT_EQ(platform::Utf16ToUtf8(u"a\u00e9", 2, bytes, 2), 0);
}

// Every code page keeps ASCII as it is.
TEST(TextCodec, CodePageKeepsAscii) {
  constexpr std::string_view kText = "Service stopped 42";
  std::u16string units(kText.size(), u'?');
  ASSERT_EQ(platform::CodePageToUtf16(kText.data(), Size(kText), units.data(), Size(units)),
            Size(kText));
  EXPECT_EQ(units, u"Service stopped 42");
  std::string bytes(kText.size(), '?');
  ASSERT_EQ(platform::Utf16ToCodePage(units.data(), Size(units), bytes.data(), Size(bytes)),
            Size(kText));
  EXPECT_EQ(bytes, kText);
}

#ifndef _WIN32
// Our own codec: one U+FFFD per maximal ill-formed subsequence. Windows releases differ among
// themselves on some of these, so they are checked only where the codec is ours.
const CodecCase kOwnCodecMalformed[] = {
    {"overlong_two_byte", "\xC0\xAF", u"\uFFFD\uFFFD"},
    {"overlong_three_byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
    {"overlong_four_byte", "\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"encoded_surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
    {"above_10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"lead_F5", "\xF5\x80", u"\uFFFD\uFFFD"},
    {"truncated_three_byte", "\xE2\x82z", u"\uFFFDz"},
    {"truncated_four_byte_at_end", "a\xF0\x9F\x98", u"a\uFFFD"},
    {"lead_then_lead", "\xC3\xC3\xA9", u"\uFFFD\u00e9"},
};

INSTANTIATE_TEST_SUITE_P(OwnCodec, MalformedUtf8, ::testing::ValuesIn(kOwnCodecMalformed),
                         [](const auto& row) { return std::string(row.param.name); });
#endif

}  // namespace
