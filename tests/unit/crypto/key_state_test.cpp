#include "crypto/key_state.h"

#include <gtest/gtest.h>

#include "platform/heap.h"
#include "support/hex.h"

namespace {

using testing_support::ToHex;

constexpr char kZero[] = "00000000000000000000000000000000";
constexpr char kMd5OfPassPhrase[] = "fe6c68743ec419bb77d5f493e8c705ff";  // openssl md5
constexpr char kMd5OfEAcute[] = "66ddcd97cfdeabb2f6fb8a999b4bc76f";      // of C3 A9
constexpr char kMd5OfOther[] = "795f3202b17cb6bc3d4b771d8c6c9eaf";

platform::UniqueBstr Phrase(const char16_t* text) {
  return platform::UniqueBstr(platform::SysAllocString(text));
}

class KeyStateTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetKeyState(); }
  void TearDown() override {
    platform::FailAllocationAfter(-1);
    ResetKeyState();
  }
  static std::string Key() { return ToHex(KeyStateKey(), kKeyBytes); }
  static std::string Iv() { return ToHex(KeyStateIv(), kKeyBytes); }
};

TEST_F(KeyStateTest, InitializeAtProcessStartDerivesNothing) {
  EXPECT_EQ(Initialize(), S_OK);
  EXPECT_EQ(Key(), kZero);
  EXPECT_EQ(Iv(), kZero);
  EXPECT_EQ(KeyStateMaterialChanged(), 0);
}

TEST_F(KeyStateTest, BuiltInPhraseGivesTheSameKeyAndIv) {
  const auto phrase = Phrase(u"mervane_Tol");
  ASSERT_EQ(SetKeyPassPhrase(phrase.get()), S_OK);
  ASSERT_EQ(SetIvPassPhrase(phrase.get()), S_OK);
  EXPECT_EQ(KeyStateMaterialChanged(), 1);
  ASSERT_EQ(Initialize(), S_OK);
  EXPECT_EQ(Key(), kMd5OfPassPhrase);
  EXPECT_EQ(Iv(), kMd5OfPassPhrase);
}

TEST_F(KeyStateTest, PhraseIsHashedAsItsUtf8Bytes) {
  const auto phrase = Phrase(u"\u00e9");
  SetKeyPassPhrase(phrase.get());
  SetIvPassPhrase(phrase.get());
  ASSERT_EQ(Initialize(), S_OK);
  EXPECT_EQ(Key(), kMd5OfEAcute);
}

TEST_F(KeyStateTest, AbsentPhraseFailsBeforeAnyDerivation) {
  const auto phrase = Phrase(u"mervane_Tol");
  for (const bool keyGiven : {true, false}) {
    ResetKeyState();
    (keyGiven ? SetKeyPassPhrase : SetIvPassPhrase)(phrase.get());
    EXPECT_EQ(Initialize(), E_FAIL) << "key given: " << keyGiven;
    EXPECT_EQ(Key(), kZero);
    EXPECT_EQ(Iv(), kZero);
  }
}

TEST_F(KeyStateTest, BadPhraseChangesNothing) {
  const platform::UniqueBstr empty(platform::SysAllocString(u""));
  for (auto* setter : {&SetKeyPassPhrase, &SetIvPassPhrase}) {
    EXPECT_EQ(setter(nullptr), E_INVALIDARG);
    EXPECT_EQ(setter(empty.get()), E_INVALIDARG);
  }
  EXPECT_EQ(KeyStateMaterialChanged(), 0);
  // A stored phrase survives a bad one: derivation still uses it.
  const auto other = Phrase(u"other");
  SetKeyPassPhrase(other.get());
  SetIvPassPhrase(other.get());
  EXPECT_EQ(SetKeyPassPhrase(empty.get()), E_INVALIDARG);
  ASSERT_EQ(Initialize(), S_OK);
  EXPECT_EQ(Key(), kMd5OfOther);
}

TEST_F(KeyStateTest, SamePhraseAgainIsKeptWithoutACopy) {
  const auto phrase = Phrase(u"mervane_Tol");
  const auto again = Phrase(u"mervane_Tol");
  ASSERT_EQ(SetKeyPassPhrase(phrase.get()), S_OK);
  platform::FailAllocationAfter(0);  // a copy would fail
  EXPECT_EQ(SetKeyPassPhrase(again.get()), S_OK);
  platform::FailAllocationAfter(-1);
}

TEST_F(KeyStateTest, ClearThenSamePhraseStoresItAgain) {
  const auto phrase = Phrase(u"mervane_Tol");
  SetKeyPassPhrase(phrase.get());
  SetIvPassPhrase(phrase.get());
  ASSERT_EQ(Initialize(), S_OK);
  ClearKeyMaterial();
  EXPECT_EQ(KeyStateMaterialChanged(), 0);
  EXPECT_EQ(Key(), kMd5OfPassPhrase) << "clearing keeps the derived key";
  EXPECT_EQ(SetKeyPassPhrase(phrase.get()), S_OK);
  EXPECT_EQ(KeyStateMaterialChanged(), 1);
  EXPECT_EQ(Initialize(), E_FAIL) << "the IV phrase is still absent";
}

TEST_F(KeyStateTest, SetterOutOfMemoryKeepsTheOldPhrase) {
  const auto other = Phrase(u"other");
  const auto phrase = Phrase(u"mervane_Tol");
  SetKeyPassPhrase(other.get());
  SetIvPassPhrase(other.get());
  platform::FailAllocationAfter(0);
  EXPECT_EQ(SetKeyPassPhrase(phrase.get()), E_OUTOFMEMORY);
  platform::FailAllocationAfter(-1);
  ASSERT_EQ(Initialize(), S_OK);
  EXPECT_EQ(Key(), kMd5OfOther);
}

TEST_F(KeyStateTest, EveryInitializeDerivesAgainWhileTheFlagIsSet) {
  const auto phrase = Phrase(u"mervane_Tol");
  SetKeyPassPhrase(phrase.get());
  SetIvPassPhrase(phrase.get());
  ASSERT_EQ(Initialize(), S_OK);
  ASSERT_EQ(Initialize(), S_OK);
  EXPECT_EQ(Key(), kMd5OfPassPhrase);
  EXPECT_EQ(KeyStateMaterialChanged(), 1);
  // It converts the phrases again, so an allocation failure now reaches it.
  platform::FailAllocationAfter(0);
  EXPECT_EQ(Initialize(), E_OUTOFMEMORY);
}

TEST_F(KeyStateTest, IvConversionFailureLeavesTheNewKeyAndTheOldIv) {
  const auto other = Phrase(u"other");
  const auto phrase = Phrase(u"mervane_Tol");
  SetKeyPassPhrase(other.get());
  SetIvPassPhrase(other.get());
  ASSERT_EQ(Initialize(), S_OK);
  SetKeyPassPhrase(phrase.get());
  SetIvPassPhrase(phrase.get());
  platform::FailAllocationAfter(1);  // the key's UTF-8 buffer, then the IV's fails
  EXPECT_EQ(Initialize(), E_OUTOFMEMORY);
  EXPECT_EQ(Key(), kMd5OfPassPhrase);
  EXPECT_EQ(Iv(), kMd5OfOther);
}

}  // namespace
