// Counted UTF-16 strings: a real BSTR on Windows, an allocator of our own with the same
// layout and rules elsewhere (32-bit byte count before the first unit, a terminating zero
// unit after the last, a null handle distinct from an empty string).
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

using Bstr = char16_t*;

// A null text gives a null handle, as the Windows call does.
Bstr SysAllocString(const char16_t* text);
// A null text gives a string of `units` zero units.
Bstr SysAllocStringLen(const char16_t* text, uint32_t units);
// Null is allowed and does nothing.
void SysFreeString(Bstr string);
// The stored length in units; 0 for a null handle. Never scans for a terminator.
uint32_t SysStringLen(Bstr string);

struct BstrDeleter {
  void operator()(char16_t* string) const { SysFreeString(string); }
};
// Owns one counted string inside an implementation.
using UniqueBstr = std::unique_ptr<char16_t, BstrDeleter>;

}  // namespace platform
