// Any text through the request decryption sequence, with the built-in key: no crash, no leak,
// and every failure leaves the result null.
#include <cstdint>
#include <cstdlib>

#include "crypto/request_decryption.h"
#include "platform/counted_string.h"
#include "platform/debug_trace.h"

namespace {
void DropTrace(const char* /*text*/) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::SetTraceCapture(&DropTrace);
  const platform::UniqueBstr text(
      platform::SysAllocStringLen(nullptr, static_cast<uint32_t>(size)));
  for (size_t i = 0; i < size; ++i) {
    text.get()[i] = static_cast<char16_t>(data[i]);
  }
  platform::Bstr plain = nullptr;
  const Status status = DecryptRequestParameter(text.get(), &plain);
  const platform::UniqueBstr owned(plain);
  if (IsFailure(status) != (plain == nullptr)) {
    std::abort();
  }
  return 0;
}
