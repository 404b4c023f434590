// UTF-8 and system code page <-> UTF-16, with the rules of the Windows converters at flags 0:
// a null output measures, malformed input becomes U+FFFD rather than an error, the input is
// exactly `count` units or bytes (no terminator is looked for or added). Each returns the
// number of units or bytes written (or needed), 0 on failure, and fails when the output does
// not fit. Off Windows the system code page is UTF-8.
#pragma once

namespace platform {

int Utf8ToUtf16(const char* bytes, int count, char16_t* units, int capacity);
int Utf16ToUtf8(const char16_t* units, int count, char* bytes, int capacity);
int CodePageToUtf16(const char* bytes, int count, char16_t* units, int capacity);
// Characters the code page cannot show become its default character.
int Utf16ToCodePage(const char16_t* units, int count, char* bytes, int capacity);

}  // namespace platform
