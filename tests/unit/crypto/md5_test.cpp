#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

namespace {

std::string Hex(const uint8_t (&digest)[kMd5DigestBytes]) {
  std::string hex;
  for (const uint8_t byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

std::string DigestHex(const std::string& message) {
  uint8_t digest[kMd5DigestBytes] = {};
  EXPECT_EQ(Md5Digest(reinterpret_cast<const uint8_t*>(message.data()),
                      static_cast<int32_t>(message.size()), digest),
            S_OK);
  return Hex(digest);
}

struct DigestCase {
  std::string message;
  const char* digest;
};

void PrintTo(const DigestCase& digestCase, std::ostream* out) {
  *out << '"' << digestCase.message << '"';
}

class Md5Test : public testing::TestWithParam<DigestCase> {};

TEST_P(Md5Test, GivesTheKnownDigest) {
  EXPECT_EQ(DigestHex(GetParam().message), GetParam().digest);
}

// The test suite of RFC 1321, appendix A.5.
INSTANTIATE_TEST_SUITE_P(
    Rfc1321, Md5Test,
    testing::Values(DigestCase{"", "d41d8cd98f00b204e9800998ecf8427e"},
                    DigestCase{"a", "0cc175b9c0f1b6a831c399e269772661"},
                    DigestCase{"abc", "900150983cd24fb0d6963f7d28e17f72"},
                    DigestCase{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
                    DigestCase{"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
                    DigestCase{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                               "d174ab98d277d9f5a5611c2c9f419d9f"},
                    DigestCase{
                        "1234567890123456789012345678901234567890123456789012345678901234567890"
                        "1234567890",
                        "57edf4a22be3c955ac49da2e2107b67a"}));

// Computed independently (openssl md5 over the same bytes). 55, 56 and 64 bytes sit on the
// padding boundaries: the last length that fits one block with its length field, the first that
// does not, and a whole block.
INSTANTIATE_TEST_SUITE_P(
    Independent, Md5Test,
    testing::Values(DigestCase{"mervane_Tol", "fe6c68743ec419bb77d5f493e8c705ff"},
                    DigestCase{std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
                    DigestCase{std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
                    DigestCase{std::string(64, 'a'), "014842d480b571495a4a0363793f7367"}));

TEST(Md5Digest, ZeroCountNeedsNoBytes) {
  uint8_t digest[kMd5DigestBytes] = {};
  ASSERT_EQ(Md5Digest(nullptr, 0, digest), S_OK);
  EXPECT_EQ(Hex(digest), "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
