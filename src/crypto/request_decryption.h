// The query server's decryption sequence for one request parameter, under the key-state lock:
// ClearKeyMaterial, both pass phrases set to the built-in one, Decrypt.
#pragma once

#include "crypto/status.h"
#include "platform/counted_string.h"

inline constexpr char16_t kBuiltInPassPhrase[] = u"mervane_Tol";

// As Decrypt: `*plainText` is the caller's on success and null on failure.
Status DecryptRequestParameter(platform::Bstr cipherText, platform::Bstr* plainText);

// ClearKeyMaterial, then the built-in phrase as key and IV phrase. The caller holds the
// key-state lock.
void LoadBuiltInPassPhrases();
