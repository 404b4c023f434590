// Makes and reads the enciphered request parameter with the service's own cipher and key
// derivation: what a site's server puts into its page, and what the service reads from it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class ParameterFailure : std::uint8_t {
  kNone,
  kBase64Length,    // not a multiple of 4 characters
  kBase64Alphabet,  // a character outside the alphabet, or '=' before the end
  kNotWholeBlocks,  // decodes to a byte count that is not a multiple of 16
  kBadPadding,      // deciphers, but the padding is wrong: another key, or damaged
  kOutOfMemory,
};

// The Base64 parameter for UTF-8 `text` under the built-in pass phrase.
std::string EncodeParameter(std::string_view utf8Text);

// The same without the padding step: `blocks` (whole 16-byte blocks) enciphered as they are,
// for parameters whose plain bytes end in anything at all.
std::string EncipherBlocks(std::vector<uint8_t> blocks);

// Standard Base64 with '=' padding.
std::string ToBase64(const std::vector<uint8_t>& bytes);

struct DecodedParameter {
  ParameterFailure failure = ParameterFailure::kNone;
  std::u16string text;  // the plain text when failure is kNone
};

// Reads a parameter exactly as the service does, and names the failure when it cannot.
DecodedParameter DecodeParameter(std::u16string_view parameter);

// A sentence for people, naming the failure.
const char* DescribeParameterFailure(ParameterFailure failure);
