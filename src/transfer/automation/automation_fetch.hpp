#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/automation.hpp"
#include "platform/http_engine.hpp"
#include "text/text_types.hpp"

namespace tarlowen {

// The optional arguments of AutomationFetch, in their order. Inputs are views of the caller's data
// (read during the call only, so a large body is never copied into the record); outputs and in/out
// arguments point to the caller's variables, and a null pointer means the argument is absent.
struct AutomationFetchOptions {
    int method = 0;  // 0 GET, 1 POST, 2 HEAD, 3 PUT, 4 OPTIONS, 5 DELETE, 6 TRACE, 7 CONNECT; else GET
    std::string_view bodyText;
    Text* cookies = nullptr;  // in/out: sent as the Cookie header even when empty; replaced by a merge
    Text* returnedCookies = nullptr;  // out: the first name=value pair of each Set-Cookie line
    Text* headers = nullptr;          // in/out: "Name: value" lines joined by CRLF; on return as sent
    Text* responseHeaders = nullptr;  // out
    int* status = nullptr;            // out: 0 when the exchange failed
    bool noRedirect = false;
    std::span<const std::uint8_t> bodyBytes;  // sent instead of bodyText when not empty
    std::string_view proxy;
    int timeoutSeconds = 0;  // -1: the request object's own limits; below 1: 15 s
    std::string_view proxyUser;
    std::string_view proxyPassword;
    int proxyAuthMode = 1;  // 1: Basic credentials in a Proxy-Authorization header; other: none
    std::optional<AutomationObject> requestObject;  // used (shared) instead of a new one when given
    bool mergeCookies = true;
    // When set, the response body goes here as it arrives instead of coming back as the result
    // (which is then empty), so a large body is never held whole. Status, headers and cookies come
    // back as usual; a sink that returns false ends the exchange as failed (status 0). A request
    // object without a native body channel (see setResponseBodySink) is read as usual and its body
    // handed over in one piece.
    HttpBodySink bodySink;
};

// Performs one synchronous HTTP exchange through the HTTP request automation component and returns
// the whole response body, which the caller owns (or hands it to options.bodySink). Never reports an error:
// the body is empty when the component cannot be created (every output is then left as it was) or the
// exchange fails (status 0, no response headers). A supplied requestObject stays usable by the caller
// afterwards. The calling thread's apartment count is raised for the call and restored on every way out.
[[nodiscard]] ByteSet AutomationFetch(std::string_view url, const AutomationFetchOptions& options = {});

}  // namespace tarlowen
