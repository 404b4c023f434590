// Hex text <-> bytes for test vectors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

inline std::vector<uint8_t> FromHex(std::string_view hex) {
  std::vector<uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

inline std::string ToHex(const uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < count; ++i) {
    hex += kDigits[bytes[i] >> 4U];
    hex += kDigits[bytes[i] & 15U];
  }
  return hex;
}

}  // namespace testing_support
