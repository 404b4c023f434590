// macparam: the request parameter for a site's origin text, made and read with the service's
// own code. A site's server runs `macparam encode shop.example` and puts the result into its
// page as the second field of the query.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "crypto/utf8_conversion.h"
#include "macparam/param_codec.h"
#include "platform/debug_trace.h"
#include "platform/heap.h"
#include "platform/text_codec.h"

namespace {

constexpr char kUsage[] =
    "usage: macparam encode TEXT\n"
    "       macparam decode PARAM\n"
    "       macparam --help\n";

constexpr char kHelp[] =
    "\n"
    "encode TEXT   prints the enciphered request parameter for TEXT (taken as UTF-8): Base64\n"
    "              of AES-128-CBC under the built-in pass phrase, PKCS #7 padded. TEXT is\n"
    "              the origin the service checks the page's Referer against, for example\n"
    "              shop.example or https://shop.example. Put the output into the page as the\n"
    "              second field of the query (URL-encode it: '+' and '/' and '=' occur).\n"
    "decode PARAM  prints the plain text the service reads from PARAM, or exits with 1 and\n"
    "              names the failure: the Base64 length, a character outside the alphabet,\n"
    "              not whole cipher blocks, or bad padding (another pass phrase, or damage).\n"
    "\n"
    "Exit codes: 0 done, 1 the parameter cannot be read, 2 wrong usage.\n";

// The command line arrives in the system code page (UTF-8 off Windows).
std::u16string FromCodePage(std::string_view text) {
  const int count = static_cast<int>(text.size());
  const int units = platform::CodePageToUtf16(text.data(), count, nullptr, 0);
  std::u16string result(static_cast<std::size_t>(units), u'\0');
  if (units > 0) {
    platform::CodePageToUtf16(text.data(), count, result.data(), units);
  }
  return result;
}

std::string ToCodePage(std::u16string_view text) {
  const int count = static_cast<int>(text.size());
  const int bytes = platform::Utf16ToCodePage(text.data(), count, nullptr, 0);
  std::string result(static_cast<std::size_t>(bytes), '\0');
  if (bytes > 0) {
    platform::Utf16ToCodePage(text.data(), count, result.data(), bytes);
  }
  return result;
}

std::string ToUtf8(const std::u16string& text) {
  const platform::UniqueBstr counted(
      platform::SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size())));
  uint8_t* bytes = nullptr;
  int32_t count = 0;
  _ToUtf8(counted.get(), &bytes, &count);
  const platform::UniqueBytes owned(bytes);
  return {reinterpret_cast<const char*>(owned.get()), static_cast<std::size_t>(count)};
}

void DropTrace(const char* /*text*/) {}

}  // namespace

int main(int argc, char** argv) {
  // Failures are reported on stderr; the service's traces would only reach the system log.
  platform::SetTraceCapture(&DropTrace);

  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (argc != 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string_view command = argv[1];
  const std::u16string argument = FromCodePage(argv[2]);
  if (command == "encode") {
    std::printf("%s\n", EncodeParameter(ToUtf8(argument)).c_str());
    return 0;
  }
  if (command == "decode") {
    const DecodedParameter decoded = DecodeParameter(argument);
    if (decoded.failure != ParameterFailure::kNone) {
      std::fprintf(stderr, "macparam: cannot decode: %s\n",
                   DescribeParameterFailure(decoded.failure));
      return 1;
    }
    std::printf("%s\n", ToCodePage(decoded.text).c_str());
    return 0;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
