// Counted strings are real BSTRs from oleaut32. A BSTR is a 16-bit wchar_t string on Windows;
// our handle type is char16_t*, so the two meet by reinterpret_cast here and nowhere else.
#include "platform/counted_string.h"

#include <windows.h>

#include <oleauto.h>

#include <cstring>

#include "platform/heap.h"

namespace platform {
namespace {

static_assert(sizeof(OLECHAR) == sizeof(char16_t), "a BSTR unit must be 16 bits");

Bstr FromBstr(BSTR string) {
  return reinterpret_cast<Bstr>(string);
}
BSTR ToBstr(Bstr string) {
  return reinterpret_cast<BSTR>(string);
}

}  // namespace

Bstr SysAllocString(const char16_t* text) {
  if (text == nullptr) {
    return nullptr;
  }
  if (AllocationFaultDue()) {
    return nullptr;
  }
  return FromBstr(::SysAllocString(reinterpret_cast<const OLECHAR*>(text)));
}

Bstr SysAllocStringLen(const char16_t* text, uint32_t units) {
  if (AllocationFaultDue()) {
    return nullptr;
  }
  Bstr string = FromBstr(::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text), units));
  // Without a text the system leaves the units uninitialised; our contract is zeros.
  if (string != nullptr && text == nullptr) {
    std::memset(string, 0, static_cast<std::size_t>(units) * sizeof(char16_t));
  }
  return string;
}

void SysFreeString(Bstr string) {
  ::SysFreeString(ToBstr(string));
}

uint32_t SysStringLen(Bstr string) {
  return ::SysStringLen(ToBstr(string));
}

}  // namespace platform
