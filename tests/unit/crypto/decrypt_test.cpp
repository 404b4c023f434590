#include "crypto/decrypt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/base64.h"
#include "crypto/key_state.h"
#include "crypto/request_decryption.h"
#include "macparam/param_codec.h"
#include "platform/heap.h"
#include "support/hex.h"
#include "support/trace_recorder.h"

namespace {

using testing_support::TraceRecorder;
using Traces = std::vector<std::string>;

platform::UniqueBstr Text(std::string_view ascii) {
  const std::u16string wide(ascii.begin(), ascii.end());
  return platform::UniqueBstr(
      platform::SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size())));
}

std::u16string Contents(platform::Bstr string) {
  return {string, platform::SysStringLen(string)};
}

// Plain bytes padded by the test itself, so that any last block can be made.
std::string Blocks(std::vector<uint8_t> plain) {
  return EncipherBlocks(std::move(plain));
}

std::vector<uint8_t> Repeat(uint8_t byte, std::size_t count) {
  return std::vector<uint8_t>(count, byte);
}

class DecryptTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetKeyState(); }
  void TearDown() override {
    platform::FailAllocationAfter(-1);
    ResetKeyState();
  }

  // Decrypt as the query server calls it: built-in phrases set, the result handle primed
  // with a sentinel so that "left null" is seen.
  Status Run(platform::Bstr cipher) {
    LoadBuiltInPassPhrases();
    result_ = sentinel_;
    const Status status = Decrypt(cipher, &result_);
    owned_.reset(result_);
    return status;
  }

  platform::Bstr result_ = nullptr;
  platform::UniqueBstr owned_;
  char16_t sentinel_[2] = {u'x', 0};
};

TEST_F(DecryptTest, NullResultHandleIsRefusedBeforeInitialize) {
  const auto text = Text(Blocks(Repeat(16, 16)));
  const TraceRecorder traces;
  const auto phrase = platform::UniqueBstr(platform::SysAllocString(u"only the key"));
  ClearKeyMaterial();
  SetKeyPassPhrase(phrase.get());  // Initialize would fail and trace
  EXPECT_EQ(Decrypt(text.get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(traces.Lines(), Traces{});
}

TEST_F(DecryptTest, MissingTextIsRefusedBeforeInitialize) {
  const auto empty = Text("");
  for (platform::Bstr cipher : {static_cast<platform::Bstr>(nullptr), empty.get()}) {
    const TraceRecorder traces;
    const auto phrase = platform::UniqueBstr(platform::SysAllocString(u"only the key"));
    ClearKeyMaterial();
    SetKeyPassPhrase(phrase.get());
    platform::Bstr plain = sentinel_;
    EXPECT_EQ(Decrypt(cipher, &plain), E_INVALIDARG);
    EXPECT_EQ(plain, nullptr);
    EXPECT_EQ(traces.Lines(), Traces{});
  }
}

TEST_F(DecryptTest, InitializeFailureIsTracedAndPassedOn) {
  const auto text = Text(Blocks(Repeat(16, 16)));  // before the phrase: it sets the key state
  const TraceRecorder traces;
  const auto phrase = platform::UniqueBstr(platform::SysAllocString(u"only the key"));
  ClearKeyMaterial();
  SetKeyPassPhrase(phrase.get());
  platform::Bstr plain = sentinel_;
  const Status status = Decrypt(text.get(), &plain);
  const platform::UniqueBstr owned(plain);
  EXPECT_EQ(status, E_FAIL);
  EXPECT_EQ(plain, nullptr);
  EXPECT_EQ(traces.Lines(), Traces{kInitializeFailedTrace});
}

struct FailureRow {
  const char* name;
  std::string text;
  Status status;
  Traces traces;
};

TEST_F(DecryptTest, FailureTable) {
  const std::vector<FailureRow> rows = {
      {"22 characters", std::string(22, 'A'), E_INVALIDARG, {kBase64LengthTrace}},
      {"outside the alphabet", "QUJD-UJDQUJDQUJDQUJDQUJD", E_INVALIDARG, {}},
      {"'=' inside", "QQ==QUJDQUJDQUJDQUJDQUJD", E_INVALIDARG, {}},
      {"15 bytes, not whole blocks", "QUJDQUJDQUJDQUJDQUJD", E_INVALIDARG, {}},
      {"last byte above 16", "AAAAAAAAAAAAAAAAAAAAAA==", E_FAIL, {}},
      {"last byte 0x00", Blocks(Repeat(0, 16)), E_FAIL, {}},
      {"last byte 0x11", Blocks(Repeat(0x11, 16)), E_FAIL, {}},
      {"04 with 03 before it",
       Blocks({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 4, 4, 3, 4}),
       E_FAIL,
       {}},
      {"04 with 05 three before",
       Blocks({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 5, 4, 4, 4}),
       E_FAIL,
       {}},
      {"a byte of a whole padding block differs",
       Blocks([] {
         std::vector<uint8_t> bytes(32, 0x10);
         bytes[16] = 0x0F;
         return bytes;
       }()),
       E_FAIL,
       {}},
  };
  for (const FailureRow& row : rows) {
    const TraceRecorder traces;
    const auto text = Text(row.text);
    EXPECT_EQ(Run(text.get()), row.status) << row.name;
    EXPECT_EQ(result_, nullptr) << row.name;
    EXPECT_EQ(traces.Lines(), row.traces) << row.name;
  }
}

TEST_F(DecryptTest, BadBase64StillBringsTheKeyStateUpToDate) {
  const auto text = Text(std::string(22, 'A'));
  EXPECT_EQ(Run(text.get()), E_INVALIDARG);
  EXPECT_EQ(testing_support::ToHex(KeyStateKey(), kKeyBytes), "fe6c68743ec419bb77d5f493e8c705ff");
}

struct SuccessRow {
  const char* name;
  std::vector<uint8_t> blocks;
  std::u16string plain;
};

TEST_F(DecryptTest, SuccessTable) {
  const auto padded = [](std::vector<uint8_t> plain) {
    const auto padding = static_cast<uint8_t>(16 - plain.size() % 16);
    plain.resize(plain.size() + padding, padding);
    return plain;
  };
  const std::vector<uint8_t> thirtyTwo = padded(std::vector<uint8_t>(29, 'z'));
  const std::vector<uint8_t> withNul = padded({'a', 0, 'b'});
  const std::vector<uint8_t> malformed = padded({'a', 0xFF, 'b'});
  const std::vector<uint8_t> multibyte =
      padded({0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80});
  const std::vector<SuccessRow> rows = {
      {"padding alone", Repeat(16, 16), u""},
      {"two blocks ending 03 03 03", thirtyTwo, std::u16string(29, u'z')},
      {"a zero byte is kept", withNul, std::u16string(u"a\0b", 3)},
      {"malformed UTF-8", malformed, u"a\uFFFDb"},
      {"multibyte UTF-8", multibyte, u"\u00e9\u20ac\U0001F600"},
  };
  for (const SuccessRow& row : rows) {
    const TraceRecorder traces;
    const auto text = Text(Blocks(row.blocks));
    ASSERT_EQ(Run(text.get()), S_OK) << row.name;
    ASSERT_NE(result_, nullptr) << row.name;
    EXPECT_EQ(Contents(result_), row.plain) << row.name;
    EXPECT_EQ(traces.Lines(), Traces{}) << row.name;
  }
}

TEST_F(DecryptTest, EveryMessageStartsFromTheStoredIv) {
  const auto text = Text(EncodeParameter("shop.example"));
  ASSERT_EQ(Run(text.get()), S_OK);
  const std::string ivBefore = testing_support::ToHex(KeyStateIv(), kKeyBytes);
  const std::u16string first = Contents(result_);
  ASSERT_EQ(Run(text.get()), S_OK);
  EXPECT_EQ(Contents(result_), first);
  EXPECT_EQ(first, u"shop.example");
  EXPECT_EQ(testing_support::ToHex(KeyStateIv(), kKeyBytes), ivBefore);
}

// Each allocation on the way (two UTF-8 copies of the phrases, the decoded bytes, the plain
// buffer, the result string) fails in turn: every one gives E_OUTOFMEMORY, a null result and
// no leak; once none fails, the call succeeds.
TEST_F(DecryptTest, EveryAllocationFailureIsReportedAndLeaksNothing) {
  const auto text = Text(EncodeParameter("shop.example"));
  int failing = 0;
  for (;; ++failing) {
    ASSERT_LT(failing, 20);
    LoadBuiltInPassPhrases();
    platform::FailAllocationAfter(failing);
    platform::Bstr plain = sentinel_;
    const TraceRecorder traces;
    const Status status = Decrypt(text.get(), &plain);
    platform::FailAllocationAfter(-1);
    const platform::UniqueBstr owned(plain);
    if (status == S_OK) {
      EXPECT_EQ(Contents(plain), u"shop.example");
      break;
    }
    EXPECT_EQ(status, E_OUTOFMEMORY) << "allocation " << failing;
    EXPECT_EQ(plain, nullptr) << "allocation " << failing;
    const bool inInitialize = failing < 2;
    EXPECT_EQ(traces.Lines(), inInitialize ? Traces{kInitializeFailedTrace} : Traces{})
        << "allocation " << failing;
  }
  EXPECT_EQ(failing, 5);
}

TEST(RemovePaddingTest, Table) {
  struct Row {
    const char* name;
    std::vector<uint8_t> bytes;
    Status status;
    int32_t plainLength;  // -1: not written
  };
  std::vector<uint8_t> full(16, 16);
  std::vector<uint8_t> one(16, 0);
  one[15] = 1;
  const std::vector<Row> rows = {
      {"empty", {}, E_FAIL, -1},
      {"not whole blocks", std::vector<uint8_t>(15, 1), E_FAIL, -1},
      {"a whole block of padding", full, S_OK, 0},
      {"one byte of padding", one, S_OK, 15},
      {"zero", std::vector<uint8_t>(16, 0), E_FAIL, -1},
      {"seventeen", std::vector<uint8_t>(32, 17), E_FAIL, -1},
  };
  for (const Row& row : rows) {
    int32_t plainLength = -1;
    EXPECT_EQ(
        _RemovePadding(row.bytes.data(), static_cast<int32_t>(row.bytes.size()), &plainLength),
        row.status)
        << row.name;
    EXPECT_EQ(plainLength, row.plainLength) << row.name;
  }
}

}  // namespace
