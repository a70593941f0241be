#include "transfer/winhttp/request_description.hpp"

#include <array>
#include <limits>

#include "text/text_primitives.hpp"

namespace tarlowen {
namespace {

struct DefaultLine {
    const char* searchText;
    bool ignoreCase;
    const char* line;
};

constexpr DefaultLine kUserAgent{"User-Agent: ", true,
                                 "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)\r\n"};
constexpr DefaultLine kAccept{"Accept: ", true, "Accept: text/html, application/xhtml+xml, */*\r\n"};
constexpr DefaultLine kAcceptEncoding{"Accept-Encoding: ", true, "Accept-Encoding: gbk, GB2312\r\n"};
constexpr DefaultLine kAcceptLanguage{"Accept-Language: ", true, "Accept-Language: zh-cn\r\n"};
constexpr DefaultLine kContentType{"Content-Type:", false, "Content-Type: application/x-www-form-urlencoded\r\n"};
constexpr DefaultLine kCacheControl{"Cache-Control: ", true, "Cache-Control: no-cache\r\n"};

constexpr int kPost = 1;

void appendUnlessPresent(Text& block, const DefaultLine& row, std::string_view line) {
    if (SearchText(block, row.searchText, std::nullopt, row.ignoreCase) == -1) {
        block.append(line);
    }
}

void appendUnlessPresent(Text& block, const DefaultLine& row) { appendUnlessPresent(block, row, row.line); }

}  // namespace

Text VerbForMethod(int method) {
    static constexpr std::array<const char*, 8> kVerbs{"GET",     "POST",   "HEAD",  "PUT",
                                                       "OPTIONS", "DELETE", "TRACE", "CONNECT"};
    return (method >= 0 && method < static_cast<int>(kVerbs.size())) ? kVerbs[static_cast<std::size_t>(method)]
                                                                     : "GET";
}

Text BuildHeaderBlock(std::string_view headers, int method, const Text* cookies) {
    Text block(headers);
    if (!block.empty()) {
        block.append("\r\n");
    }
    appendUnlessPresent(block, kUserAgent);
    appendUnlessPresent(block, kAccept);
    appendUnlessPresent(block, kAcceptEncoding);
    appendUnlessPresent(block, kAcceptLanguage);
    if (method == kPost) {
        appendUnlessPresent(block, kContentType);
    }
    appendUnlessPresent(block, kCacheControl);
    if (cookies != nullptr && !cookies->empty()) {
        appendUnlessPresent(block, DefaultLine{"Cookie: ", true, nullptr}, "Cookie: " + *cookies + "\r\n");
    }
    return block;
}

Text ProxyList(std::string_view proxy, bool secure) {
    if (proxy.empty()) {
        return {};
    }
    return secure ? Text(proxy) : "http=" + Text(proxy);
}

int TimeLimitMs(int timeoutSeconds) {
    constexpr int kDefaultMs = 30000;
    if (timeoutSeconds <= 0) {
        return kDefaultMs;
    }
    // Seconds beyond what milliseconds can count in 32 bits are as good as no limit.
    constexpr int kMaxSeconds = std::numeric_limits<int>::max() / 1000;
    return timeoutSeconds > kMaxSeconds ? kMaxSeconds * 1000 : timeoutSeconds * 1000;
}

}  // namespace tarlowen
