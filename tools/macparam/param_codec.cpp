#include "macparam/param_codec.h"

#include <cstring>
#include <vector>

#include "crypto/aes.h"
#include "crypto/base64.h"
#include "crypto/key_state.h"
#include "crypto/request_decryption.h"
#include "platform/heap.h"

namespace {

constexpr std::size_t kBlockBytes = 16;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string ToBase64(const std::vector<uint8_t>& bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    const uint32_t group = (uint32_t{bytes[i]} << 16U) |
                           (left > 1 ? uint32_t{bytes[i + 1]} << 8U : 0U) |
                           (left > 2 ? uint32_t{bytes[i + 2]} : 0U);
    text += kAlphabet[(group >> 18U) & 63U];
    text += kAlphabet[(group >> 12U) & 63U];
    text += left > 1 ? kAlphabet[(group >> 6U) & 63U] : '=';
    text += left > 2 ? kAlphabet[group & 63U] : '=';
  }
  return text;
}

namespace {

// The key and IV the service derives for every request, taken under the key-state lock.
void DeriveBuiltInKey(uint8_t* key, uint8_t* iv) {
  const auto hold = LockKeyState();
  LoadBuiltInPassPhrases();
  Initialize();
  std::memcpy(key, KeyStateKey(), kKeyBytes);
  std::memcpy(iv, KeyStateIv(), kKeyBytes);
}

platform::UniqueBstr ToCountedString(std::u16string_view text) {
  return platform::UniqueBstr(
      platform::SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size())));
}

// Tells apart the causes that share a status once the service has refused a parameter.
ParameterFailure ClassifyInvalidArgument(platform::Bstr parameter) {
  if (platform::SysStringLen(parameter) % 4 != 0) {
    return ParameterFailure::kBase64Length;
  }
  uint8_t* bytes = nullptr;
  int32_t length = 0;
  const Status status = _FromBase64(parameter, &bytes, &length);
  const platform::UniqueBytes owned(bytes);
  return IsFailure(status) ? ParameterFailure::kBase64Alphabet : ParameterFailure::kNotWholeBlocks;
}

}  // namespace

std::string EncipherBlocks(std::vector<uint8_t> blocks) {
  uint8_t key[kKeyBytes];
  uint8_t iv[kKeyBytes];
  DeriveBuiltInKey(key, iv);
  AesContext context;
  AesExpandEncryptKey(&context, key, 128);
  AesProcessCbc(&context, kAesEncipher, static_cast<int32_t>(blocks.size()), iv, blocks.data(),
                blocks.data());
  return ToBase64(blocks);
}

std::string EncodeParameter(std::string_view utf8Text) {
  // PKCS #7: always 1 to 16 bytes of padding, each holding the count.
  const std::size_t padding = kBlockBytes - utf8Text.size() % kBlockBytes;
  std::vector<uint8_t> bytes(utf8Text.begin(), utf8Text.end());
  bytes.insert(bytes.end(), padding, static_cast<uint8_t>(padding));
  return EncipherBlocks(std::move(bytes));
}

DecodedParameter DecodeParameter(std::u16string_view parameter) {
  DecodedParameter result;
  const platform::UniqueBstr text = ToCountedString(parameter);
  if (!text) {
    result.failure = ParameterFailure::kOutOfMemory;
    return result;
  }
  platform::Bstr plain = nullptr;
  const Status status = DecryptRequestParameter(text.get(), &plain);
  const platform::UniqueBstr owned(plain);
  if (status == E_INVALIDARG) {
    result.failure =
        parameter.empty() ? ParameterFailure::kBase64Length : ClassifyInvalidArgument(text.get());
  } else if (status == E_FAIL) {
    result.failure = ParameterFailure::kBadPadding;
  } else if (IsFailure(status)) {
    result.failure = ParameterFailure::kOutOfMemory;
  } else {
    result.text.assign(owned.get(), platform::SysStringLen(owned.get()));
  }
  return result;
}

const char* DescribeParameterFailure(ParameterFailure failure) {
  switch (failure) {
    case ParameterFailure::kNone:
      return "no failure";
    case ParameterFailure::kBase64Length:
      return "the Base64 length is not a positive multiple of 4";
    case ParameterFailure::kBase64Alphabet:
      return "a character outside the Base64 alphabet (or '=' before the last two places)";
    case ParameterFailure::kNotWholeBlocks:
      return "the decoded bytes are not whole 16-byte cipher blocks";
    case ParameterFailure::kBadPadding:
      return "bad padding after deciphering: made with another pass phrase, or damaged";
    case ParameterFailure::kOutOfMemory:
      return "out of memory";
  }
  return "unknown failure";
}
