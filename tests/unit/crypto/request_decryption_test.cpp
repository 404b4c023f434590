#include "crypto/request_decryption.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "crypto/key_state.h"
#include "macparam/param_codec.h"

namespace {

platform::UniqueBstr Text(const std::string& ascii) {
  const std::u16string wide(ascii.begin(), ascii.end());
  return platform::UniqueBstr(
      platform::SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size())));
}

std::u16string Decipher(platform::Bstr text, Status* status) {
  platform::Bstr plain = nullptr;
  *status = DecryptRequestParameter(text, &plain);
  const platform::UniqueBstr owned(plain);
  return {owned.get(), platform::SysStringLen(owned.get())};
}

TEST(RequestDecryptionTest, ReadsWhatTheEncoderMadeWhateverTheStateBefore) {
  const auto phrase = platform::UniqueBstr(platform::SysAllocString(u"left from before"));
  SetKeyPassPhrase(phrase.get());  // a stale half-set state must not matter
  const auto text = Text(EncodeParameter("shop.example"));
  Status status = E_FAIL;
  EXPECT_EQ(Decipher(text.get(), &status), u"shop.example");
  EXPECT_EQ(status, S_OK);
}

// Two query servers decipher at once: each sequence from ClearKeyMaterial to the end of
// Decrypt must run whole, or one thread frees the phrase the other is converting (ASan) or
// deciphers under a half-set state.
TEST(RequestDecryptionTest, ConcurrentSequencesDoNotInterleave) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      const std::string origin = "site" + std::to_string(t) + ".example";
      const std::u16string expected(origin.begin(), origin.end());
      const auto text = Text(EncodeParameter(origin));
      for (int i = 0; i < kRounds; ++i) {
        Status status = E_FAIL;
        if (Decipher(text.get(), &status) != expected || status != S_OK) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
