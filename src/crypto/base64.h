// Strict Base64 decoding (standard alphabet, '=' padding required, nothing else allowed).
#pragma once

#include <cstdint>

#include "crypto/status.h"
#include "platform/counted_string.h"

// Decodes `text` into a new heap buffer (release with free). Which outputs are written depends
// on the outcome: a caller that looks at them after a failure sets them to null and 0 first.
Status _FromBase64(platform::Bstr text, uint8_t** bytes, int32_t* length);

inline constexpr char kBase64LengthTrace[] =
    "_FromBase64: The length of a Base64 string must be a multiple of 4.\n";
