// The process-wide key state: two pass phrases, the KeyMaterialChanged flag, and the key and
// IV derived from them (the MD5 digest of each phrase's UTF-8 bytes).
#pragma once

#include <cstdint>
#include <mutex>

#include "crypto/status.h"
#include "platform/counted_string.h"

inline constexpr int kKeyBytes = 16;

void ClearKeyMaterial();
Status SetKeyPassPhrase(platform::Bstr phrase);
Status SetIvPassPhrase(platform::Bstr phrase);
Status Initialize();

// Read access to the derived key and IV, 16 bytes each.
const uint8_t* KeyStateKey();
const uint8_t* KeyStateIv();
int32_t KeyStateMaterialChanged();

// Held by a query server thread from ClearKeyMaterial to the end of Decrypt, so that two
// threads never interleave their sequences nor free a phrase the other is converting.
[[nodiscard]] std::unique_lock<std::mutex> LockKeyState();

// Tests: back to the state of process start (no phrases, flag 0, key and IV zero).
void ResetKeyState();
