#include "crypto/decrypt.h"

#include <cstring>

#include "crypto/aes.h"
#include "crypto/base64.h"
#include "crypto/key_state.h"
#include "crypto/utf8_conversion.h"
#include "platform/debug_trace.h"
#include "platform/heap.h"

namespace {
constexpr int32_t kBlockBytes = 16;
}  // namespace

Status Decrypt(platform::Bstr cipherText, platform::Bstr* plainText) {
  if (plainText == nullptr) {
    return E_INVALIDARG;
  }
  *plainText = nullptr;
  if (cipherText == nullptr || platform::SysStringLen(cipherText) == 0) {
    return E_INVALIDARG;
  }

  // Before the text is looked at, so that a malformed parameter still brings the key state
  // up to date.
  Status status = Initialize();
  if (IsFailure(status)) {
    platform::WriteDebugTrace(kInitializeFailedTrace);
    return status;
  }

  uint8_t* decoded = nullptr;
  int32_t decodedLength = 0;
  status = _FromBase64(cipherText, &decoded, &decodedLength);
  const platform::UniqueBytes cipherBytes(decoded);
  if (IsFailure(status)) {
    return status;
  }
  if (decodedLength % kBlockBytes != 0) {
    return E_INVALIDARG;
  }

  // Every message starts its chain from the key state's IV; the stored IV never changes.
  uint8_t chain[kBlockBytes];
  std::memcpy(chain, KeyStateIv(), sizeof chain);

  const platform::UniqueBytes plainBytes(
      static_cast<uint8_t*>(platform::HeapAllocate(static_cast<std::size_t>(decodedLength))));
  if (!plainBytes) {
    return E_OUTOFMEMORY;
  }

  AesContext context;
  AesExpandDecryptKey(&context, KeyStateKey(), 128);
  AesProcessCbc(&context, kAesDecipher, decodedLength, chain, cipherBytes.get(), plainBytes.get());

  int32_t plainLength = 0;
  status = _RemovePadding(plainBytes.get(), decodedLength, &plainLength);
  if (IsFailure(status)) {
    return status;
  }
  return _FromUtf8(plainBytes.get(), plainLength, plainText);
}

Status _RemovePadding(const uint8_t* bytes, int32_t length, int32_t* plainLength) {
  // A length of 0 has no padding byte to read.
  if (length <= 0 || length % kBlockBytes != 0) {
    return E_FAIL;
  }
  const int32_t padding = bytes[length - 1];
  if (padding == 0 || padding > kBlockBytes) {
    return E_FAIL;
  }
  for (int32_t i = length - 1; i >= length - padding; --i) {
    if (bytes[i] != padding) {
      return E_FAIL;
    }
  }
  *plainLength = length - padding;
  return S_OK;
}
