// Any 16-bit text through the Base64 decoder: no crash, no leak, and a decoded length that
// agrees with the text's length whenever the decoder accepts it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/base64.h"
#include "platform/counted_string.h"
#include "platform/debug_trace.h"
#include "platform/heap.h"

namespace {
void DropTrace(const char* /*text*/) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::SetTraceCapture(&DropTrace);
  // Half the inputs as one unit per byte (mostly ASCII, like a real parameter), half as raw
  // 16-bit units, chosen by the first byte.
  if (size == 0) {
    return 0;
  }
  const bool wide = (data[0] & 1U) != 0;
  ++data;
  --size;
  const size_t units = wide ? size / 2 : size;
  const platform::UniqueBstr text(
      platform::SysAllocStringLen(nullptr, static_cast<uint32_t>(units)));
  for (size_t i = 0; i < units; ++i) {
    text.get()[i] = wide ? static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8U))
                         : static_cast<char16_t>(data[i]);
  }
  uint8_t* bytes = nullptr;
  int32_t length = 0;
  const Status status = _FromBase64(text.get(), &bytes, &length);
  const platform::UniqueBytes owned(bytes);
  if (!IsFailure(status) && units > 0) {
    const int32_t whole = static_cast<int32_t>(units / 4 * 3);
    if (units % 4 != 0 || length < whole - 2 || length > whole || bytes == nullptr) {
      std::abort();
    }
  }
  return 0;
}
