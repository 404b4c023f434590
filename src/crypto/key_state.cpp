#include "crypto/key_state.h"

#include <cstdlib>
#include <cstring>

#include "crypto/md5.h"
#include "crypto/utf8_conversion.h"
#include "platform/heap.h"

namespace {

// The one key state of the process. Written by the setters, ClearKeyMaterial and Initialize,
// read by Decrypt; a query server thread holds KeyStateMutex across its whole sequence.
platform::UniqueBstr KeyPassPhrase;
platform::UniqueBstr IvPassPhrase;
int32_t KeyMaterialChanged = 0;
uint8_t Key[kKeyBytes] = {};
uint8_t Iv[kKeyBytes] = {};
std::mutex KeyStateMutex;

// Equal as NUL-terminated 16-bit strings, which is how a stored phrase is compared.
bool SameTerminatedText(const char16_t* a, const char16_t* b) {
  while (*a != u'\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

Status StorePassPhrase(platform::UniqueBstr& stored, platform::Bstr phrase) {
  if (phrase == nullptr || platform::SysStringLen(phrase) == 0) {
    return E_INVALIDARG;
  }
  if (stored && SameTerminatedText(stored.get(), phrase)) {
    return S_OK;
  }
  platform::UniqueBstr copy(platform::SysAllocString(phrase));
  if (!copy) {
    return E_OUTOFMEMORY;
  }
  stored = std::move(copy);
  KeyMaterialChanged = 1;
  return S_OK;
}

// MD5 of the phrase's UTF-8 bytes (all of its counted units, no terminator) into `digest`;
// `digest` is left alone when the conversion fails.
Status DerivePassPhraseDigest(platform::Bstr phrase, uint8_t* digest) {
  uint8_t* bytes = nullptr;
  int32_t count = 0;
  const Status status = _ToUtf8(phrase, &bytes, &count);
  const platform::UniqueBytes owned(bytes);
  if (IsFailure(status)) {
    return status;
  }
  return Md5Digest(owned.get(), count, digest);
}

}  // namespace

void ClearKeyMaterial() {
  KeyPassPhrase.reset();
  IvPassPhrase.reset();
  KeyMaterialChanged = 0;
}

Status SetKeyPassPhrase(platform::Bstr phrase) {
  return StorePassPhrase(KeyPassPhrase, phrase);
}

Status SetIvPassPhrase(platform::Bstr phrase) {
  return StorePassPhrase(IvPassPhrase, phrase);
}

Status Initialize() {
  if (KeyMaterialChanged == 0) {
    return S_OK;
  }
  if (!KeyPassPhrase || !IvPassPhrase) {
    return E_FAIL;
  }
  const Status status = DerivePassPhraseDigest(KeyPassPhrase.get(), Key);
  if (IsFailure(status)) {
    return status;
  }
  return DerivePassPhraseDigest(IvPassPhrase.get(), Iv);
}

const uint8_t* KeyStateKey() {
  return Key;
}

const uint8_t* KeyStateIv() {
  return Iv;
}

int32_t KeyStateMaterialChanged() {
  return KeyMaterialChanged;
}

std::unique_lock<std::mutex> LockKeyState() {
  return std::unique_lock<std::mutex>(KeyStateMutex);
}

void ResetKeyState() {
  ClearKeyMaterial();
  std::memset(Key, 0, sizeof Key);
  std::memset(Iv, 0, sizeof Iv);
}
