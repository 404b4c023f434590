#include "server/request_rules.h"

namespace {

bool IsIdentifierStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
}

bool IsIdentifierPart(char c) {
  return IsIdentifierStart(c) || (c >= '0' && c <= '9');
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The value of "referer: VALUE", blanks before it skipped; empty when the line is not so.
std::string_view RefererValue(std::string_view line) {
  constexpr std::string_view kName = "referer:";
  if (line.substr(0, kName.size()) != kName) {
    return {};
  }
  line.remove_prefix(kName.size());
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
    line.remove_prefix(1);
  }
  return line;
}

// What ends the authority, and what may follow the origin text. Browsers read a backslash as '/'
// in http(s) URLs; elsewhere it is no host's character either, so it ends the authority always.
constexpr std::string_view kAuthorityEnds = "/?#\\";

// "user@host:port" of scheme://user@host:port/path, less the user part.
std::string_view HostAndPort(std::string_view value) {
  const std::size_t scheme = value.find("://");
  if (scheme == std::string_view::npos) {
    return {};
  }
  std::string_view authority = value.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of(kAuthorityEnds));
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  return authority;
}

std::string_view HostOnly(std::string_view hostAndPort) {
  if (!hostAndPort.empty() && hostAndPort.front() == '[') {  // [::1]:8080
    const std::size_t close = hostAndPort.find(']');
    return close == std::string_view::npos ? hostAndPort : hostAndPort.substr(0, close + 1);
  }
  return hostAndPort.substr(0, hostAndPort.rfind(':'));
}

}  // namespace

bool IsCallbackName(std::string_view name) {
  if (name.empty() || name.size() > kMaxCallbackBytes) {
    return false;
  }
  bool atStart = true;
  for (const char c : name) {
    if (c == '.' && !atStart) {
      atStart = true;
    } else if (atStart ? IsIdentifierStart(c) : IsIdentifierPart(c)) {
      atStart = false;
    } else {
      return false;
    }
  }
  return !atStart;  // no empty part at the end
}

bool OriginMatchesReferer(std::string_view origin, std::string_view refererLine) {
  if (origin.size() <= 3) {
    return false;
  }
  const std::string_view value = RefererValue(refererLine);
  if (value.empty()) {
    return false;
  }
  if (value.substr(0, origin.size()) == origin) {
    if (value.size() == origin.size() || value[origin.size()] == ':' ||
        kAuthorityEnds.find(value[origin.size()]) != std::string_view::npos) {
      return true;
    }
  }
  const std::string_view hostAndPort = HostAndPort(value);
  const std::string_view host = HostOnly(hostAndPort);
  if (host.empty()) {
    return false;
  }
  return host == origin || hostAndPort == origin ||
         (host.size() > origin.size() && EndsWith(host, origin) &&
          host[host.size() - origin.size() - 1] == '.');
}
