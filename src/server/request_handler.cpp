#include "server/request_handler.h"

#include <atomic>
#include <vector>

#include "crypto/request_decryption.h"
#include "platform/ascii_case.h"
#include "platform/counted_string.h"
#include "platform/debug_trace.h"
#include "platform/text_codec.h"
#include "server/mac_address.h"
#include "server/request_rules.h"

namespace {

using platform::LowerAscii;

constexpr std::string_view kRequestPrefix = "GET /?callback=";
constexpr std::string_view kRefererName = "Referer";
constexpr char kDebugTail[] = "::Sleep Mac Adress 4444 ==== debug ===== \r\n";
constexpr std::size_t kDecipheredFieldMin = 6;

// The plain text of the last request whose parameter was deciphered, lower-cased; lives as
// long as its query server thread (a second server thread keeps its own).
thread_local std::string DecipheredText;
// Replaced by tests only.
std::atomic<AddressProvider> Provider{nullptr};

void Trace(const std::string& text) {
  platform::WriteDebugTrace(text.c_str());
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string result;
  std::size_t start = 0;
  for (std::size_t at = text.find(from); at != std::string_view::npos;
       at = text.find(from, start)) {
    result.append(text.substr(start, at - start)).append(to);
    start = at + from.size();
  }
  return result.append(text.substr(start));
}

// Segment k of `text` split at `c`: empty when there are fewer than k separators.
std::string_view Segment(std::string_view text, char c, int k) {
  std::size_t start = 0;
  for (int i = 0; i < k; ++i) {
    const std::size_t at = text.find(c, start);
    if (at == std::string_view::npos) {
      return {};
    }
    start = at + 1;
  }
  return text.substr(start, text.find(c, start) - start);
}

std::u16string FromCodePage(std::string_view text) {
  const int count = static_cast<int>(text.size());
  std::u16string result(text.size(), u'\0');
  result.resize(static_cast<std::size_t>(
      count == 0 ? 0 : platform::CodePageToUtf16(text.data(), count, result.data(), count)));
  return result;
}

std::string ToCodePage(platform::Bstr text) {
  const int count = static_cast<int>(platform::SysStringLen(text));
  if (count == 0) {
    return {};
  }
  const int bytes = platform::Utf16ToCodePage(text, count, nullptr, 0);
  std::string result(static_cast<std::size_t>(bytes), '\0');
  if (bytes > 0) {
    platform::Utf16ToCodePage(text, count, result.data(), bytes);
  }
  return result;
}

// The key-state sequence under its lock; true when this request's text was deciphered.
bool DecipherField(std::string_view field) {
  const std::u16string wide = FromCodePage(field);
  const platform::UniqueBstr cipher(
      platform::SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size())));
  platform::Bstr plain = nullptr;
  const Status status = DecryptRequestParameter(cipher.get(), &plain);
  const platform::UniqueBstr owned(plain);
  DecipheredText = ToCodePage(owned.get());
  return !IsFailure(status);
}

std::string CurrentAddress() {
  const AddressProvider provider = Provider.load();
  return provider != nullptr ? provider() : GetMACAddress();
}

}  // namespace

int CountChar(std::string_view text, char c) {
  int count = 0;
  for (const char byte : text) {
    count += byte == c ? 1 : 0;
  }
  return count;
}

void SetAddressProvider(AddressProvider provider) {
  Provider.store(provider);
}

void ResetDecipheredText() {
  DecipheredText.clear();
}

bool HandleRequest(std::string_view requestText, std::string* reply) {
  const std::string text = ReplaceAll(requestText, "%20", " ");
  std::string requestLine(Segment(text, '\r', 0));
  Trace("[sock] recv : " + text + "\r\n");

  std::string refererLine;
  const int lines = CountChar(text, '\r');
  for (int j = 0; j < lines; ++j) {
    std::string line = ReplaceAll(ReplaceAll(Segment(text, '\r', j), "\n", ""), "\r", "");
    if (line.compare(0, kRefererName.size(), kRefererName) == 0) {
      refererLine = LowerAscii(std::move(line));
      Trace("::Sleep debug ===== " + std::to_string(j) + ". " + refererLine + " \r\n");
    }
  }

  requestLine = ReplaceAll(requestLine, kRequestPrefix, "");
  Trace("::Sleep Mac Adress ==== debug ===== \r\n");
  const int separators = CountChar(requestLine, '&');
  Trace("::Sleep Mac Adress ==== ndbg:count : " + std::to_string(separators) + ", org " +
        requestLine + " ===== \r\n");
  if (separators <= 4) {
    return false;
  }
  Trace(requestLine + kDebugTail);
  std::string_view fields[5];
  for (int k = 0; k < 5; ++k) {
    fields[k] = Segment(requestLine, '&', k);
  }
  Trace(std::string(fields[0]) + " - " + std::string(fields[1]) + " - " + std::string(fields[2]) +
        " - " + std::string(fields[3]) + " - " + std::string(fields[4]) + kDebugTail);
  const std::string_view callback = fields[0];
  if (!IsCallbackName(callback)) {
    return false;  // would be script of the caller's choosing in the reply
  }

  bool decipheredNow = false;
  if (fields[1].size() >= kDecipheredFieldMin) {
    decipheredNow = DecipherField(fields[1]);
  }
  DecipheredText = LowerAscii(std::move(DecipheredText));
  Trace(DecipheredText + "===" + refererLine + kDebugTail);

  // The address is a stable machine identifier: only the site the parameter was made for,
  // as this very request proves, may read it.
  const bool originPasses = decipheredNow && OriginMatchesReferer(DecipheredText, refererLine);
  Trace("\n\n api ok start  :1 ===== \r\n");
  const std::string address = originPasses ? CurrentAddress() : std::string();
  *reply = std::string(kReplyHeader) + std::string(callback) + "({'ret': '" + address + "'});";
  Trace("\n\n api ok end  :1 ===== \r\n");
  Trace(*reply + " :: Sleep Mac Adress 4444 ==== debug ===== \r\n");
  return true;
}
