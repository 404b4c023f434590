// The two checks that keep the reply from being abused: which callback names are answered,
// and whether the page's referrer is the origin the request parameter was made for.
#pragma once

#include <string_view>

inline constexpr std::size_t kMaxCallbackBytes = 128;

// A JavaScript identifier ([A-Za-z_$][A-Za-z0-9_$]*) or a dotted path of them, at most 128
// bytes: anything else would be script of the caller's choosing in a text/html reply.
bool IsCallbackName(std::string_view name);

// `origin` is this request's own deciphered text (lower-cased, more than 3 bytes), `refererLine`
// the kept Referer line (lower-cased). Passes when the referrer's value starts with the origin
// followed by its end or '/', ':', '?', '#'; or its host equals the origin or ends with "." and
// the origin; or its host:port equals the origin.
bool OriginMatchesReferer(std::string_view origin, std::string_view refererLine);
