#include "crypto/aes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <latch>
#include <ostream>
#include <random>
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
// Sends calls through the table code while it lives.
class TableCodeOnly {
 public:
  TableCodeOnly() { AesForceTableCode(true); }
  ~TableCodeOnly() { AesForceTableCode(false); }
  TableCodeOnly(const TableCodeOnly&) = delete;
  TableCodeOnly& operator=(const TableCodeOnly&) = delete;
};

TEST(AesTables, ConcurrentFirstKeySetUpsAllSeeFinishedTables) {
  // Where the processor has AES instructions, only the table code builds the tables.
  const TableCodeOnly tables;
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

// SP 800-38A F.2.1 to F.2.6: CBC with the key sizes' standard keys, one IV and one message.
struct CbcVector {
  int bits;
  const char* key;
  const char* ciphertext;
};

const CbcVector kCbcVectors[] = {
    {128, "2b7e151628aed2a6abf7158809cf4f3c",
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
    {192, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
     "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
    {256, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
};
const char* const kCbcIv = "000102030405060708090a0b0c0d0e0f";
const char* const kCbcPlaintext =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

// Each code path on its own against the standards' examples: the tests above take whichever
// path the processor allows, so without this the table code goes untested on most machines.
enum class AesPath { kTable, kHardware };

void PrintTo(AesPath path, std::ostream* out) {
  *out << (path == AesPath::kTable ? "table code" : "AES instructions");
}

class AesPathTest : public testing::TestWithParam<AesPath> {
 protected:
  void SetUp() override {
    AesForceTableCode(GetParam() == AesPath::kTable);
    if (GetParam() == AesPath::kHardware && !AesUsesHardware()) {
      GTEST_SKIP() << "no AES instructions in this build or on this processor";
    }
  }
  void TearDown() override { AesForceTableCode(false); }
};

TEST_P(AesPathTest, EveryKeySizeGivesTheStandardBlocks) {
  const Bytes plaintext = FromHex(kFipsPlaintext);
  for (const BlockVector& vector : kFipsVectors) {
    const Bytes key = FromHex(vector.key);
    AesContext context{};
    Bytes output(kBlock);
    AesExpandEncryptKey(&context, key.data(), vector.bits);
    AesProcessBlock(&context, kAesEncipher, plaintext.data(), output.data());
    EXPECT_EQ(output, FromHex(vector.ciphertext)) << vector.bits << " bits";
    AesExpandDecryptKey(&context, key.data(), vector.bits);
    AesProcessBlock(&context, kAesDecipher, output.data(), output.data());
    EXPECT_EQ(output, plaintext) << vector.bits << " bits";
  }
}

TEST_P(AesPathTest, EveryKeySizeGivesTheStandardCbcMessage) {
  const Bytes plaintext = FromHex(kCbcPlaintext);
  const auto length = static_cast<int32_t>(plaintext.size());
  for (const CbcVector& vector : kCbcVectors) {
    const Bytes key = FromHex(vector.key);
    const Bytes ciphertext = FromHex(vector.ciphertext);
    const Bytes lastBlock(ciphertext.end() - kBlock, ciphertext.end());
    AesContext context{};
    AesExpandEncryptKey(&context, key.data(), vector.bits);
    Bytes iv = FromHex(kCbcIv);
    Bytes output(plaintext.size());
    AesProcessCbc(&context, kAesEncipher, length, iv.data(), plaintext.data(), output.data());
    EXPECT_EQ(output, ciphertext) << vector.bits << " bits";
    EXPECT_EQ(iv, lastBlock) << vector.bits << " bits";

    // In place, as the four blocks are deciphered together.
    AesExpandDecryptKey(&context, key.data(), vector.bits);
    iv = FromHex(kCbcIv);
    AesProcessCbc(&context, kAesDecipher, length, iv.data(), output.data(), output.data());
    EXPECT_EQ(output, plaintext) << vector.bits << " bits";
    EXPECT_EQ(iv, lastBlock) << vector.bits << " bits";
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, AesPathTest, testing::Values(AesPath::kTable, AesPath::kHardware),
                         [](const testing::TestParamInfo<AesPath>& param) {
                           return param.param == AesPath::kTable ? "Table" : "Hardware";
                         });

struct Schedules {
  AesContext encipher{};
  AesContext decipher{};
};

Schedules ExpandOn(AesPath path, const Bytes& key, int bits) {
  AesForceTableCode(path == AesPath::kTable);
  Schedules schedules;
  AesExpandEncryptKey(&schedules.encipher, key.data(), bits);
  AesExpandDecryptKey(&schedules.decipher, key.data(), bits);
  AesForceTableCode(false);
  return schedules;
}

Bytes CbcOn(AesPath path, const AesContext& context, int direction, const Bytes& iv,
            const Bytes& input, bool inPlace) {
  AesForceTableCode(path == AesPath::kTable);
  Bytes chain = iv;
  Bytes output = inPlace ? input : Bytes(input.size());
  AesProcessCbc(&context, direction, static_cast<int32_t>(input.size()), chain.data(),
                inPlace ? output.data() : input.data(), output.data());
  AesForceTableCode(false);
  output.insert(output.end(), chain.begin(), chain.end());  // the chain left behind, too
  return output;
}

TEST(AesPathAgreement, HardwareAndTableGiveTheSameSchedulesAndMessages) {
  if (!AesUsesHardware()) {
    GTEST_SKIP() << "no AES instructions in this build or on this processor";
  }
  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> byte(0, 255);
  const auto randomBytes = [&](std::size_t count) {
    Bytes bytes(count);
    for (uint8_t& b : bytes) {
      b = static_cast<uint8_t>(byte(random));
    }
    return bytes;
  };
  for (const int bits : {128, 192, 256}) {
    for (int round = 0; round < 100; ++round) {
      const Bytes key = randomBytes(static_cast<std::size_t>(bits / 8));
      const Bytes iv = randomBytes(kBlock);
      // 1 to 9 blocks: the hardware deciphers four at a time and then the rest one by one.
      const Bytes plain = randomBytes(static_cast<std::size_t>(kBlock) * ((round % 9) + 1));
      const bool inPlace = round % 2 == 1;
      const Schedules table = ExpandOn(AesPath::kTable, key, bits);
      const Schedules hardware = ExpandOn(AesPath::kHardware, key, bits);
      const auto words = static_cast<std::size_t>(4 * (table.encipher.rounds + 1));
      ASSERT_EQ(hardware.encipher.rounds, table.encipher.rounds);
      ASSERT_EQ(hardware.decipher.rounds, table.decipher.rounds);
      ASSERT_TRUE(std::equal(table.encipher.keyWords, table.encipher.keyWords + words,
                             hardware.encipher.keyWords))
          << bits << " bits, round " << round;
      ASSERT_TRUE(std::equal(table.decipher.keyWords, table.decipher.keyWords + words,
                             hardware.decipher.keyWords))
          << bits << " bits, round " << round;

      const Bytes cipher = CbcOn(AesPath::kTable, table.encipher, kAesEncipher, iv, plain, false);
      EXPECT_EQ(CbcOn(AesPath::kHardware, hardware.encipher, kAesEncipher, iv, plain, inPlace),
                cipher)
          << bits << " bits, round " << round;
      const Bytes message(cipher.begin(), cipher.end() - kBlock);
      const Bytes back = CbcOn(AesPath::kTable, table.decipher, kAesDecipher, iv, message, false);
      EXPECT_EQ(Bytes(back.begin(), back.end() - kBlock), plain);
      EXPECT_EQ(CbcOn(AesPath::kHardware, hardware.decipher, kAesDecipher, iv, message, inPlace),
                back)
          << bits << " bits, round " << round;
    }
  }
}

}  // namespace
