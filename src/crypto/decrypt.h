// The decryption pipeline: Base64 text -> AES-128-CBC -> PKCS #7 padding check -> UTF-16.
#pragma once

#include <cstdint>

#include "crypto/status.h"
#include "platform/counted_string.h"

// On success `*plainText` is a new string the caller releases with SysFreeString; after the
// check of `plainText` itself it is null on every failure.
Status Decrypt(platform::Bstr cipherText, platform::Bstr* plainText);

// Checks the padding at the end of `length` bytes; writes `plainLength` on success only.
Status _RemovePadding(const uint8_t* bytes, int32_t length, int32_t* plainLength);

inline constexpr char kInitializeFailedTrace[] = "Initialize FAILED\n";
