#pragma once

#include <string_view>

#include "text/text_types.hpp"

namespace tarlowen {

// How the page transfer turns its caller's arguments into a request.

// The verb for a method number: 0 GET, 1 POST, 2 HEAD, 3 PUT, 4 OPTIONS, 5 DELETE, 6 TRACE,
// 7 CONNECT; any other number GET.
[[nodiscard]] Text VerbForMethod(int method);

// The header block: the caller's lines followed by "\r\n" (nothing for none), then each default line
// whose search text the block does not hold yet, in order: User-Agent, Accept, Accept-Encoding,
// Accept-Language, Content-Type (POST only, the one search that respects case), Cache-Control, and
// Cookie with `cookies` when that is given and not empty.
[[nodiscard]] Text BuildHeaderBlock(std::string_view headers, int method, const Text* cookies);

// The proxy list: empty for a direct connection; the proxy for every scheme when the target is secure;
// "http=" and the proxy, which names it for plain http only, when it is not.
[[nodiscard]] Text ProxyList(std::string_view proxy, bool secure);

// The time limit for each phase in milliseconds: the seconds given, or 30 seconds for 0 or less.
[[nodiscard]] int TimeLimitMs(int timeoutSeconds);

}  // namespace tarlowen
