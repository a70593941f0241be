#pragma once

#include <string_view>

#include "platform/winhttp_api.hpp"
#include "text/text_types.hpp"

namespace tarlowen {

// The optional arguments of WinHttpFetch, in their order. Outputs and the in-and-out `cookies` are
// pointers to the caller's variables (null: not passed); an output is written only when the exchange
// reaches the step that sets it, so callers pass empty variables.
struct WinHttpFetchOptions {
    int method = 0;  // 0 GET, 1 POST, 2 HEAD, 3 PUT, 4 OPTIONS, 5 DELETE, 6 TRACE, 7 CONNECT
    Text bodyText;   // sent unchanged, with any method
    Text* cookies =
        nullptr;  // sent as a Cookie line when not empty; passing it (even empty) allows the merge
    Text* returnedCookies = nullptr;  // the response's cookie pairs, or the merged text
    Text headers;                     // extra lines "Name: value" separated by "\r\n"
    Text* responseHeaders = nullptr;  // the raw response header block
    bool noRedirect = false;          // true: a redirect response is the response
    Text serverUser;
    Text serverPassword;
    Text proxy;  // "host:port"; empty for a direct connection
    Text proxyUser;
    Text proxyPassword;
    int timeoutSeconds = 0;            // per phase; 0 or less means 30 seconds
    Text* location = nullptr;          // the response's Location value
    Text* statusText = nullptr;        // "200 OK", or a numbered message when the exchange fails
    ByteSet* responseBytes = nullptr;  // the body as received
    bool mergeCookies = true;          // with `cookies`: merge the returned cookies into it
};

// One HTTP exchange, returning the response body as text in code page 936: converted from the charset
// the page declares, or the bytes up to the first zero byte. Empty when the exchange fails, which
// `statusText` then tells with a numbered message (700 to 712; 713 when a read failed and the headers
// could not be read either). HTTP error statuses are no failure. Lets waiting window messages be
// handled after each response header line, after the charset step, and on the way out. Keeps at most
// kMaxPageBodyBytes of the body (past that the read fails with the first bytes kept, as a broken read
// does). Never throws: memory that runs out anywhere on the way ends the fetch with an empty page and
// message 713.
[[nodiscard]] Text WinHttpFetch(std::string_view url, const WinHttpFetchOptions& options = {}) noexcept;

// The same over the given WinHttp calls, so tests can make any one of them fail.
[[nodiscard]] Text winHttpFetchWith(WinHttpApi& api, std::string_view url,
                                    const WinHttpFetchOptions& options = {}) noexcept;

}  // namespace tarlowen
