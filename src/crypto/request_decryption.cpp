#include "crypto/request_decryption.h"

#include "crypto/decrypt.h"
#include "crypto/key_state.h"

void LoadBuiltInPassPhrases() {
  ClearKeyMaterial();
  // The setters' results are not looked at: a failed setter shows as Initialize failing.
  const platform::UniqueBstr keyPhrase(platform::SysAllocString(kBuiltInPassPhrase));
  const platform::UniqueBstr ivPhrase(platform::SysAllocString(kBuiltInPassPhrase));
  SetKeyPassPhrase(keyPhrase.get());
  SetIvPassPhrase(ivPhrase.get());
}

Status DecryptRequestParameter(platform::Bstr cipherText, platform::Bstr* plainText) {
  const auto hold = LockKeyState();
  LoadBuiltInPassPhrases();
  return Decrypt(cipherText, plainText);
}
