#include "crypto/aes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <latch>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

constexpr int32_t kBlock = 16;

// FIPS-197 Appendix C: one plaintext, the key 00 01 02 ... of each size.
const char* const kFipsPlaintext = "00112233445566778899aabbccddeeff";

struct BlockVector {
  int bits;
  const char* key;
  const char* ciphertext;
};

const BlockVector kFipsVectors[] = {
    {128, "000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {192, "000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {256, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "8ea2b7ca516745bfeafc49904b496089"},
};

// Kept first in this file so that, in a normal run, these threads make the process's first key
// set-up and so race for the table build; the results then show whether it was built once and
// completely.
TEST(AesTables, ConcurrentFirstKeySetUpsAllSeeFinishedTables) {
  constexpr int kThreads = 8;
  const BlockVector& vector = kFipsVectors[0];
  const Bytes key = FromHex(vector.key);
  const Bytes plaintext = FromHex(kFipsPlaintext);
  std::array<Bytes, kThreads> enciphered;
  std::array<Bytes, kThreads> deciphered;
  std::latch start(kThreads);
  {
    std::vector<std::jthread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        AesContext context{};
        // Half the threads come in through the deciphering set-up.
        if (t % 2 == 0) {
          AesExpandEncryptKey(&context, key.data(), vector.bits);
          enciphered[t].resize(kBlock);
          AesProcessBlock(&context, kAesEncipher, plaintext.data(), enciphered[t].data());
        } else {
          AesExpandDecryptKey(&context, key.data(), vector.bits);
          deciphered[t].resize(kBlock);
          const Bytes ciphertext = FromHex(vector.ciphertext);
          AesProcessBlock(&context, kAesDecipher, ciphertext.data(), deciphered[t].data());
        }
      });
    }
  }
  for (int t = 0; t < kThreads; ++t) {
    if (t % 2 == 0) {
      EXPECT_EQ(enciphered[t], FromHex(vector.ciphertext)) << "thread " << t;
    } else {
      EXPECT_EQ(deciphered[t], plaintext) << "thread " << t;
    }
  }
}

void PrintTo(const BlockVector& vector, std::ostream* out) {
  *out << "AES-" << vector.bits;
}

class AesBlockTest : public testing::TestWithParam<BlockVector> {};

TEST_P(AesBlockTest, EnciphersAndDeciphersTheStandardExample) {
  const Bytes key = FromHex(GetParam().key);
  const Bytes plaintext = FromHex(kFipsPlaintext);
  const Bytes ciphertext = FromHex(GetParam().ciphertext);

  AesContext context{};
  AesExpandEncryptKey(&context, key.data(), GetParam().bits);
  EXPECT_EQ(context.rounds, 6 + (GetParam().bits / 32));
  EXPECT_EQ(context.roundKeys, context.keyWords);
  Bytes output(kBlock);
  AesProcessBlock(&context, kAesEncipher, plaintext.data(), output.data());
  EXPECT_EQ(output, ciphertext);

  AesExpandDecryptKey(&context, key.data(), GetParam().bits);
  AesProcessBlock(&context, kAesDecipher, ciphertext.data(), output.data());
  EXPECT_EQ(output, plaintext);
}

INSTANTIATE_TEST_SUITE_P(Fips197, AesBlockTest, testing::ValuesIn(kFipsVectors),
                         [](const testing::TestParamInfo<BlockVector>& param) {
                           return "Aes" + std::to_string(param.param.bits);
                         });

TEST(AesKeySetUp, UnsupportedSizeLeavesTheContextAsItWas) {
  const Bytes key(64, 0x5A);
  for (const int bits : {64, 0, -128, 127, 129, 512}) {
    AesContext context;
    std::memset(&context, 0xA5, sizeof context);
    AesContext before;
    std::memcpy(&before, &context, sizeof context);
    // Padding included on purpose: not a byte of the context may be written.
    const auto untouched = [&] {
      // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
      return std::memcmp(&context, &before, sizeof context) == 0;
    };

    AesExpandEncryptKey(&context, key.data(), bits);
    EXPECT_TRUE(untouched()) << "encrypt, bits " << bits;
    AesExpandDecryptKey(&context, key.data(), bits);
    EXPECT_TRUE(untouched()) << "decrypt, bits " << bits;
  }
}

// SP 800-38A F.2.1 and F.2.2, CBC-AES128: four blocks under one key and IV.
class AesCbcTest : public testing::Test {
 protected:
  void SetUp() override {
    AesExpandEncryptKey(&encipher_, key_.data(), 128);
    AesExpandDecryptKey(&decipher_, key_.data(), 128);
  }

  // The chaining block as it stands after `blocks` blocks of this message.
  [[nodiscard]] Bytes ChainAfter(int32_t blocks) const {
    if (blocks == 0) {
      return iv_;
    }
    const auto end = ciphertext_.begin() + (static_cast<std::ptrdiff_t>(blocks) * kBlock);
    return {end - kBlock, end};
  }

  [[nodiscard]] const AesContext& ContextFor(int direction) const {
    return direction == kAesEncipher ? encipher_ : decipher_;
  }
  [[nodiscard]] const Bytes& InputFor(int direction) const {
    return direction == kAesEncipher ? plaintext_ : ciphertext_;
  }
  [[nodiscard]] const Bytes& OutputFor(int direction) const {
    return direction == kAesEncipher ? ciphertext_ : plaintext_;
  }

  const Bytes key_ = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  const Bytes iv_ = FromHex("000102030405060708090a0b0c0d0e0f");
  const Bytes plaintext_ = FromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const Bytes ciphertext_ = FromHex(
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  const int32_t length_ = 4 * kBlock;
  AesContext encipher_{};
  AesContext decipher_{};
};

constexpr int kDirections[] = {kAesEncipher, kAesDecipher};

TEST_F(AesCbcTest, OneCallGivesTheStandardResultAndLeavesTheLastCiphertextBlockInIv) {
  for (const int direction : kDirections) {
    Bytes iv = iv_;
    Bytes output(length_);
    AesProcessCbc(&ContextFor(direction), direction, length_, iv.data(), InputFor(direction).data(),
                  output.data());
    EXPECT_EQ(output, OutputFor(direction)) << "direction " << direction;
    EXPECT_EQ(iv, ChainAfter(4)) << "direction " << direction;
  }
}

TEST_F(AesCbcTest, SecondCallWithTheSameIvContinuesTheChain) {
  for (const int direction : kDirections) {
    for (int32_t first = 1; first < 4; ++first) {
      Bytes iv = iv_;
      Bytes output(length_);
      const int32_t split = first * kBlock;
      AesProcessCbc(&ContextFor(direction), direction, split, iv.data(), InputFor(direction).data(),
                    output.data());
      EXPECT_EQ(iv, ChainAfter(first)) << "direction " << direction << ", first " << first;
      AesProcessCbc(&ContextFor(direction), direction, length_ - split, iv.data(),
                    InputFor(direction).data() + split, output.data() + split);
      EXPECT_EQ(output, OutputFor(direction)) << "direction " << direction << ", first " << first;
      EXPECT_EQ(iv, ChainAfter(4)) << "direction " << direction << ", first " << first;
    }
  }
}

TEST_F(AesCbcTest, InPlaceGivesTheSameResultAsSeparateBuffers) {
  for (const int direction : kDirections) {
    Bytes iv = iv_;
    Bytes buffer = InputFor(direction);
    AesProcessCbc(&ContextFor(direction), direction, length_, iv.data(), buffer.data(),
                  buffer.data());
    EXPECT_EQ(buffer, OutputFor(direction)) << "direction " << direction;
    EXPECT_EQ(iv, ChainAfter(4)) << "direction " << direction;
  }
}

TEST_F(AesCbcTest, NoPositiveLengthTouchesNeitherOutputNorIv) {
  for (const int direction : kDirections) {
    for (const int32_t length : {0, -16, -1}) {
      Bytes iv = iv_;
      Bytes output(length_, 0xEE);
      AesProcessCbc(&ContextFor(direction), direction, length, iv.data(),
                    InputFor(direction).data(), output.data());
      EXPECT_EQ(output, Bytes(length_, 0xEE)) << "direction " << direction << ", " << length;
      EXPECT_EQ(iv, iv_) << "direction " << direction << ", " << length;
    }
  }
}

}  // namespace
