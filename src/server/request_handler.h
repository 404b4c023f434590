// One received request in, the JSONP reply out (or none).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr char kReplyHeader[] =
    "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Type: text/html\r\n\r\n";

// True with the whole reply (header included) in `reply`; false when the request gets none:
// fewer than five '&', or a callback name that is no JavaScript name.
bool HandleRequest(std::string_view requestText, std::string* reply);

// How many bytes of `text` equal `c`.
int CountChar(std::string_view text, char c);

// Tests: where the address comes from; null restores GetMACAddress.
using AddressProvider = std::string (*)();
void SetAddressProvider(AddressProvider provider);
// Tests: the server thread's deciphered text back to its start value (empty).
void ResetDecipheredText();
