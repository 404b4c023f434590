// MD5 (RFC 1321) as a one-shot digest of a whole buffer.
#pragma once

#include <cstdint>

#include "crypto/status.h"

inline constexpr int kMd5DigestBytes = 16;

// Always S_OK; a count of 0 gives the digest of the empty message.
Status Md5Digest(const uint8_t* bytes, int32_t count, uint8_t* digest);
