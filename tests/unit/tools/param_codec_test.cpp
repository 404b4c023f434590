#include "macparam/param_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::u16string Wide(const std::string& ascii) {
  return {ascii.begin(), ascii.end()};
}

// Made with the openssl command line: AES-128-CBC, key = IV = MD5("mervane_Tol").
TEST(ParamCodecTest, MatchesIndependentlyMadeParameters) {
  EXPECT_EQ(EncodeParameter("shop.example"), "YA2XRKslq1CPfM37oZaj/A==");
  EXPECT_EQ(EncodeParameter(""), "EzLNWQIbU52PCSDM1Tt18g==");
}

TEST(ParamCodecTest, RoundTrips) {
  const std::vector<std::pair<std::string, std::u16string>> rows = {
      {"shop.example", u"shop.example"},
      {"", u""},
      {"exactly16bytes!!", u"exactly16bytes!!"},
      {"https://sub.shop.example:8443", u"https://sub.shop.example:8443"},
      {"caf\xC3\xA9.example \xE2\x82\xAC \xF0\x9F\x98\x80", u"caf\u00e9.example \u20ac \U0001F600"},
  };
  for (const auto& [utf8, plain] : rows) {
    const DecodedParameter decoded = DecodeParameter(Wide(EncodeParameter(utf8)));
    EXPECT_EQ(decoded.failure, ParameterFailure::kNone) << utf8;
    EXPECT_EQ(decoded.text, plain) << utf8;
  }
}

TEST(ParamCodecTest, NamesEachFailure) {
  const std::vector<std::pair<std::string, ParameterFailure>> rows = {
      {"", ParameterFailure::kBase64Length},
      {"YA2XRKslq1CPfM37oZaj/A=", ParameterFailure::kBase64Length},
      {"YA2XRKslq1CPfM37oZaj-A==", ParameterFailure::kBase64Alphabet},
      {"YA2XRKslq1CPfM37oZaj/A%3D%3D", ParameterFailure::kBase64Alphabet},
      {"QUJDQUJDQUJDQUJDQUJD", ParameterFailure::kNotWholeBlocks},
      {"AAAAAAAAAAAAAAAAAAAAAA==", ParameterFailure::kBadPadding},
  };
  for (const auto& [text, failure] : rows) {
    const DecodedParameter decoded = DecodeParameter(Wide(text));
    EXPECT_EQ(decoded.failure, failure) << text;
    EXPECT_NE(std::string(DescribeParameterFailure(failure)), "") << text;
  }
}

}  // namespace
