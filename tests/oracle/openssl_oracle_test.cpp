// OpenSSL as an independent oracle for the cipher, the digest, the whole request decryption
// and the macparam tool. It is linked into this test only.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/aes.h"
#include "crypto/md5.h"
#include "crypto/request_decryption.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// AES-CBC through EVP; `padding` as PKCS #7 on enciphering and checked on deciphering.
// Returns false when EVP refuses (a padding failure on deciphering).
bool EvpCbc(const EVP_CIPHER* cipher, bool encipher, const Bytes& key, const Bytes& iv,
            const Bytes& input, bool padding, Bytes* output) {
  const std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> context(EVP_CIPHER_CTX_new());
  output->assign(input.size() + 16, 0);
  int first = 0;
  int last = 0;
  const int init = encipher
                       ? EVP_EncryptInit_ex(context.get(), cipher, nullptr, key.data(), iv.data())
                       : EVP_DecryptInit_ex(context.get(), cipher, nullptr, key.data(), iv.data());
  if (init != 1 || EVP_CIPHER_CTX_set_padding(context.get(), padding ? 1 : 0) != 1) {
    return false;
  }
  const int size = static_cast<int>(input.size());
  const bool ok =
      encipher
          ? EVP_EncryptUpdate(context.get(), output->data(), &first, input.data(), size) == 1 &&
                EVP_EncryptFinal_ex(context.get(), output->data() + first, &last) == 1
          : EVP_DecryptUpdate(context.get(), output->data(), &first, input.data(), size) == 1 &&
                EVP_DecryptFinal_ex(context.get(), output->data() + first, &last) == 1;
  output->resize(static_cast<std::size_t>(first + last));
  return ok;
}

Bytes EvpMd5(const Bytes& bytes) {
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_md5(), nullptr);
  digest.resize(size);
  return digest;
}

std::string EvpBase64(const Bytes& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                     static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

Bytes EvpUnbase64(const std::string& text) {
  Bytes bytes(text.size());
  int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                               static_cast<int>(text.size()));
  length -= text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
  bytes.resize(static_cast<std::size_t>(length < 0 ? 0 : length));
  return bytes;
}

Bytes RandomBytes(std::mt19937& random, std::size_t count) {
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes bytes(count);
  for (uint8_t& b : bytes) {
    b = static_cast<uint8_t>(byte(random));
  }
  return bytes;
}

void AppendUtf8(char32_t c, std::string* utf8) {
  if (c < 0x80) {
    *utf8 += static_cast<char>(c);
  } else if (c < 0x800) {
    *utf8 += static_cast<char>(0xC0 | (c >> 6));
    *utf8 += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *utf8 += static_cast<char>(0xE0 | (c >> 12));
    *utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *utf8 += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *utf8 += static_cast<char>(0xF0 | (c >> 18));
    *utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *utf8 += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(char32_t c, std::u16string* utf16) {
  if (c < 0x10000) {
    *utf16 += static_cast<char16_t>(c);
  } else {
    *utf16 += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    *utf16 += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  }
}

// A random text of at most `maxBytes` UTF-8 bytes, from ASCII, Latin, the BMP and beyond,
// in both encodings built straight from the code points.
void RandomText(std::mt19937& random, std::size_t maxBytes, std::string* utf8,
                std::u16string* utf16) {
  static constexpr char32_t kRanges[][2] = {{0x20, 0x7E},    {0x00, 0x7F},     {0xA0, 0x7FF},
                                            {0x800, 0xD7FF}, {0xE000, 0xFFFD}, {0x10000, 0x10FFFF}};
  std::uniform_int_distribution<std::size_t> length(0, maxBytes);
  std::uniform_int_distribution<int> range(0, 5);
  const std::size_t target = length(random);
  utf8->clear();
  utf16->clear();
  for (;;) {
    const auto& r = kRanges[range(random)];
    const char32_t c = std::uniform_int_distribution<char32_t>(r[0], r[1])(random);
    std::string more;
    AppendUtf8(c, &more);
    if (utf8->size() + more.size() > target) {
      return;
    }
    *utf8 += more;
    AppendUtf16(c, utf16);
  }
}

TEST(OpenSslOracleTest, CbcAgreesForEveryKeySizeInBothDirections) {
  std::mt19937 random(20261209);
  const std::vector<std::pair<int, const EVP_CIPHER*>> sizes = {
      {128, EVP_aes_128_cbc()}, {192, EVP_aes_192_cbc()}, {256, EVP_aes_256_cbc()}};
  // The table code forced, then the processor's choice (its AES instructions where it has them).
  for (const bool tableCode : {true, false}) {
    AesForceTableCode(tableCode);
    for (const auto& [bits, cipher] : sizes) {
      for (int round = 0; round < 200; ++round) {
        const Bytes key = RandomBytes(random, static_cast<std::size_t>(bits / 8));
        const Bytes iv = RandomBytes(random, 16);
        const Bytes plain = RandomBytes(random, 16 * static_cast<std::size_t>(round % 9 + 1));
        Bytes expected;
        ASSERT_TRUE(EvpCbc(cipher, true, key, iv, plain, false, &expected));

        AesContext context;
        AesExpandEncryptKey(&context, key.data(), bits);
        Bytes chain = iv;
        Bytes ours(plain.size());
        AesProcessCbc(&context, kAesEncipher, static_cast<int32_t>(plain.size()), chain.data(),
                      plain.data(), ours.data());
        ASSERT_EQ(ours, expected) << bits << " bits, round " << round << ", table code "
                                  << tableCode;

        AesExpandDecryptKey(&context, key.data(), bits);
        chain = iv;
        Bytes back(plain.size());
        AesProcessCbc(&context, kAesDecipher, static_cast<int32_t>(plain.size()), chain.data(),
                      expected.data(), back.data());
        ASSERT_EQ(back, plain) << bits << " bits, round " << round << ", table code " << tableCode;
      }
    }
  }
  AesForceTableCode(false);
}

TEST(OpenSslOracleTest, Md5AgreesForRandomInputs) {
  std::mt19937 random(7);
  for (std::size_t count = 0; count < 300; ++count) {
    const Bytes bytes = RandomBytes(random, count);
    Bytes ours(kMd5DigestBytes);
    ASSERT_EQ(Md5Digest(bytes.data(), static_cast<int32_t>(count), ours.data()), S_OK);
    ASSERT_EQ(ours, EvpMd5(bytes)) << count << " bytes";
  }
}

// What a site's server would make with OpenSSL comes back exact through the service's
// decryption sequence.
TEST(OpenSslOracleTest, OpenSslParametersDecipherExactly) {
  const std::string phrase = "mervane_Tol";
  const Bytes keyAndIv = EvpMd5(Bytes(phrase.begin(), phrase.end()));
  std::mt19937 random(42);
  for (int round = 0; round < 500; ++round) {
    std::string utf8;
    std::u16string utf16;
    RandomText(random, 100, &utf8, &utf16);
    Bytes cipher;
    ASSERT_TRUE(EvpCbc(EVP_aes_128_cbc(), true, keyAndIv, keyAndIv, Bytes(utf8.begin(), utf8.end()),
                       true, &cipher));
    const std::string param = EvpBase64(cipher);
    const std::u16string wide(param.begin(), param.end());
    const platform::UniqueBstr text(
        platform::SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size())));
    platform::Bstr plain = nullptr;
    ASSERT_EQ(DecryptRequestParameter(text.get(), &plain), S_OK) << param;
    const platform::UniqueBstr owned(plain);
    ASSERT_NE(plain, nullptr);
    ASSERT_EQ(std::u16string(plain, platform::SysStringLen(plain)), utf16) << param;
  }
}

std::string RunMacparam(const std::string& arguments) {
  const std::string command = std::string(MACPARAM_PATH) + " " + arguments;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string output;
  char buffer[256];
  while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) {
    output += buffer;
  }
  if (!output.empty() && output.back() == '\n') {
    output.pop_back();
  }
  return output;
}

TEST(OpenSslOracleTest, MacparamOutputDeciphersUnderOpenSsl) {
  const std::string phrase = "mervane_Tol";
  const Bytes keyAndIv = EvpMd5(Bytes(phrase.begin(), phrase.end()));
  for (const std::string text : {"shop.example", "", "https://www.shop.example:8443",
                                 "caf\xC3\xA9.example \xE2\x82\xAC", "sixteen-bytes-ok"}) {
    const std::string param = RunMacparam("encode '" + text + "'");
    Bytes plain;
    ASSERT_TRUE(
        EvpCbc(EVP_aes_128_cbc(), false, keyAndIv, keyAndIv, EvpUnbase64(param), true, &plain))
        << text;
    EXPECT_EQ(std::string(plain.begin(), plain.end()), text);
    EXPECT_EQ(RunMacparam("decode '" + param + "'"), text);
  }
}

}  // namespace
