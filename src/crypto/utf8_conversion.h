// UTF-8 bytes <-> counted UTF-16 strings at the edges of the request decryption.
#pragma once

#include <cstdint>

#include "crypto/status.h"
#include "platform/counted_string.h"

// `count` UTF-8 bytes into a new string (release with SysFreeString); 0 bytes give an empty,
// non-null string. On failure the handle is null or not written.
Status _FromUtf8(const uint8_t* bytes, int32_t count, platform::Bstr* string);

// A string (or null) into a new heap buffer of its UTF-8 bytes (release with free), without
// a terminator. A null or empty string gives no buffer and count 0.
Status _ToUtf8(platform::Bstr string, uint8_t** bytes, int32_t* count);
