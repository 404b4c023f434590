// Status codes of the request decryption: the Windows HRESULT values it has always returned.
#pragma once

#include <cstdint>

using Status = int32_t;

inline constexpr Status S_OK = 0;
inline constexpr Status E_INVALIDARG = static_cast<Status>(0x80070057U);
inline constexpr Status E_OUTOFMEMORY = static_cast<Status>(0x8007000EU);
inline constexpr Status E_FAIL = static_cast<Status>(0x80004005U);

// A status is a failure when it is negative as a signed 32-bit value.
constexpr bool IsFailure(Status status) {
  return status < 0;
}
