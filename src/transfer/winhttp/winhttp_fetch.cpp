#include "transfer/winhttp/winhttp_fetch.hpp"

#include <algorithm>
#include <array>
#include <exception>

#include "pattern/regex_object.hpp"
#include "platform/code_page.hpp"
#include "platform/message_pump.hpp"
#include "transfer/cookies/merge_cookies.hpp"
#include "transfer/winhttp/charset_step.hpp"
#include "transfer/winhttp/request_description.hpp"
#include "transfer/winhttp/response_header_scan.hpp"

namespace tarlowen {
namespace {

// The numbered messages, in code page 936.
constexpr char k700NoService[] =  // 当前系统不支持WinHttp服务!
    "700 \xB5\xB1\xC7\xB0\xCF\xB5\xCD\xB3\xB2\xBB\xD6\xA7\xB3\xD6WinHttp\xB7\xFE\xCE\xF1!";
constexpr char k701BadUrl[] = "701 \xBD\xE2\xCE\xF6URL\xB5\xD8\xD6\xB7\xCA\xA7\xB0\xDC!";  // 解析URL地址失败!
constexpr char k702NoSession[] =  // 创建WinHttp会话失败!
    "702 \xB4\xB4\xBD\xA8WinHttp\xBB\xE1\xBB\xB0\xCA\xA7\xB0\xDC!";
constexpr char k703NoConnection[] =  // 创建WinHttp连接失败!
    "703 \xB4\xB4\xBD\xA8WinHttp\xC1\xAC\xBD\xD3\xCA\xA7\xB0\xDC!";
constexpr char k704NoRequest[] =  // 创建WinHttp请求失败!
    "704 \xB4\xB4\xBD\xA8WinHttp\xC7\xEB\xC7\xF3\xCA\xA7\xB0\xDC!";
constexpr char k705Timeouts[] =
    "705 \xC9\xE8\xD6\xC3\xB3\xAC\xCA\xB1\xCA\xB1\xBC\xE4\xCA\xA7\xB0\xDC!";  // 设置超时时间失败!
constexpr char k707Credentials[] =                                            // 设置代理凭证失败!
    "707 \xC9\xE8\xD6\xC3\xB4\xFA\xC0\xED\xC6\xBE\xD6\xA4\xCA\xA7\xB0\xDC!";
constexpr char k708Cookies[] =  // 禁止自动设置Cookies失败!
    "708 \xBD\xFB\xD6\xB9\xD7\xD4\xB6\xAF\xC9\xE8\xD6\xC3"
    "Cookies\xCA\xA7\xB0\xDC!";
constexpr char k709Redirects[] =
    "709 \xD6\xD8\xB6\xA8\xCF\xF2\xC9\xE8\xD6\xC3\xCA\xA7\xB0\xDC!";  // 重定向设置失败!
constexpr char k710Headers[] =
    "710 \xC9\xE8\xD6\xC3\xD0\xAD\xD2\xE9\xCD\xB7\xCA\xA7\xB0\xDC!";  // 设置协议头失败!
constexpr char k711Send[] = "711 \xB7\xA2\xCB\xCD\xC7\xEB\xC7\xF3\xCA\xA7\xB0\xDC!";  // 发送请求失败!
constexpr char k712NoResponse[] = "712 \xB7\xFE\xCE\xF1\xC6\xF7\xCE\xB4\xCF\xEC\xD3\xA6!";  // 服务器未响应!
constexpr char k713Read[] = "713 \xB6\xC1\xC8\xA1\xCA\xFD\xBE\xDD\xCA\xA7\xB0\xDC!";  // 读取数据失败!

constexpr std::uint32_t kAddOrReplace = WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE;

// The units [offset, offset + length) of a UTF-16 buffer, as a buffer of their own.
[[nodiscard]] ByteSet unitSpan(const ByteSet& utf16, UrlComponents::Span span) {
    const auto begin = utf16.begin() + static_cast<std::ptrdiff_t>(span.offset * 2);
    return ByteSet(begin, begin + static_cast<std::ptrdiff_t>(span.length * 2));
}

// One call of WinHttpFetch: the handles it holds, the steps it attempted, and the caller's outputs.
class PageExchange {
  public:
    PageExchange(WinHttpApi& api, const WinHttpFetchOptions& options) : m_api(api), m_options(options) {}
    PageExchange(const PageExchange&) = delete;
    PageExchange& operator=(const PageExchange&) = delete;
    ~PageExchange() { closeHandles(); }

    Text run(std::string_view url, RegexObject& pattern) {
        Text result;
        if (setUp(url) && exchange()) {
            result = readResponse(pattern);
        }
        if (!m_returnedEarly) {
            // Each step attempted from the address on gives the window one chance to catch up.
            for (int step = 0; step < m_attemptedSteps; ++step) {
                PumpWaitingMessages();
            }
        }
        closeHandles();
        return result;
    }

  private:
    // Opens the handles and describes the request. False when a step failed.
    bool setUp(std::string_view url) {
        if (!m_api.WinHttpCheckPlatform()) {
            return fail(k700NoService);
        }
        ++m_attemptedSteps;
        const ByteSet address = TextToUtf16(url);
        UrlComponents parts;
        if (!m_api.WinHttpCrackUrl(address, parts)) {
            return fail(k701BadUrl);
        }
        const bool secure = parts.scheme == INTERNET_SCHEME_HTTPS;
        const Text host = Utf16ToText(unitSpan(address, parts.host));
        // The path and what follows it, as written; an empty path is "/", and a query that follows
        // the host directly is kept after it rather than dropped.
        ByteSet objectName = parts.path.length == 0 ? TextToUtf16("/", true) : unitSpan(address, parts.path);
        const ByteSet extra = unitSpan(address, parts.extra);
        objectName.insert(objectName.end(), extra.begin(), extra.end());
        objectName.insert(objectName.end(), {0, 0});

        ++m_attemptedSteps;
        const Text proxyList = ProxyList(m_options.proxy, secure);
        m_root = proxyList.empty()
                     ? m_api.WinHttpOpen(WINHTTP_ACCESS_TYPE_NO_PROXY, {})
                     : m_api.WinHttpOpen(WINHTTP_ACCESS_TYPE_NAMED_PROXY, TextToUtf16(proxyList));
        if (m_root == 0) {
            return fail(k702NoSession);
        }
        ++m_attemptedSteps;
        m_connection = m_api.WinHttpConnect(m_root, TextToUtf16(host), parts.port);
        if (m_connection == 0) {
            return fail(k703NoConnection);
        }
        ++m_attemptedSteps;
        m_request = m_api.WinHttpOpenRequest(m_connection, TextToUtf16(VerbForMethod(m_options.method)),
                                             objectName, secure ? WINHTTP_FLAG_SECURE : 0);
        if (m_request == 0) {
            return fail(k704NoRequest);
        }
        ++m_attemptedSteps;
        const int limit = TimeLimitMs(m_options.timeoutSeconds);
        if (!m_api.WinHttpSetTimeouts(m_request, limit, limit, limit, limit)) {
            return fail(k705Timeouts);
        }
        return setCredentialsAndOptions();
    }

    // The steps whose failure returns at once, without giving the window a chance to catch up.
    bool setCredentialsAndOptions() {
        if (!m_options.serverUser.empty() && !m_options.serverPassword.empty() &&
            !m_api.WinHttpSetCredentials(m_request, WINHTTP_AUTH_TARGET_SERVER, WINHTTP_AUTH_SCHEME_BASIC,
                                         TextToUtf16(m_options.serverUser),
                                         TextToUtf16(m_options.serverPassword))) {
            return returnEarly(k707Credentials);
        }
        if (!m_options.proxyUser.empty() && !m_options.proxyPassword.empty() &&
            !m_api.WinHttpSetCredentials(m_request, WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_BASIC,
                                         TextToUtf16(m_options.proxyUser),
                                         TextToUtf16(m_options.proxyPassword))) {
            return returnEarly(k707Credentials);
        }
        const bool cookieOptionSet =
            m_options.cookies == nullptr
                ? m_api.WinHttpSetOption(m_request, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_COOKIES)
                : m_api.WinHttpSetOption(m_request, WINHTTP_OPTION_ENABLE_FEATURE,
                                         WINHTTP_ENABLE_SSL_REVOCATION);
        if (!cookieOptionSet) {
            return returnEarly(k708Cookies);
        }
        if (m_options.noRedirect &&
            !m_api.WinHttpSetOption(m_request, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_REDIRECTS)) {
            return returnEarly(k709Redirects);
        }
        return true;
    }

    // Adds the header block, sends the body and waits for the response.
    bool exchange() {
        ++m_attemptedSteps;
        const ByteSet block =
            TextToUtf16(BuildHeaderBlock(m_options.headers, m_options.method, m_options.cookies));
        if (!m_api.WinHttpAddRequestHeaders(m_request, block, block.size() / 2 - 1, kAddOrReplace)) {
            return fail(k710Headers);
        }
        ++m_attemptedSteps;
        if (!m_api.WinHttpSendRequest(m_request, m_options.bodyText)) {
            return fail(k711Send);
        }
        ++m_attemptedSteps;
        if (!m_api.WinHttpReceiveResponse(m_request)) {
            return fail(k712NoResponse);
        }
        return true;
    }

    // Reads the body and the headers and makes the result text; empty when the headers cannot be read.
    Text readResponse(RegexObject& pattern) {
        ByteSet body = readBody();
        ++m_attemptedSteps;
        Text headers;
        if (!readHeaders(headers)) {
            return {};
        }
        Text status;
        Text returnedCookies;
        Text location;
        Text& statusOut = m_options.statusText != nullptr ? *m_options.statusText : status;
        Text& cookiesOut =
            m_options.returnedCookies != nullptr ? *m_options.returnedCookies : returnedCookies;
        Text& locationOut = m_options.location != nullptr ? *m_options.location : location;
        if (m_options.responseHeaders != nullptr) {
            *m_options.responseHeaders = headers;
        }
        ScanResponseHeaders(headers, statusOut, cookiesOut, locationOut);
        if (m_options.mergeCookies && m_options.cookies != nullptr) {
            cookiesOut = MergeCookies(*m_options.cookies, cookiesOut);
        }
        if (m_options.responseBytes != nullptr) {
            *m_options.responseBytes = body;
        }
        // The step consumes the body: the page is not held a further time while it is converted.
        return convertResponseCharset(std::move(body), pattern);
    }

    // Reads each chunk straight into the body, with no buffer of its own in between.
    ByteSet readBody() {
        ByteSet body;
        std::uint32_t available = 0;
        while (m_api.WinHttpQueryDataAvailable(m_request, available) && available > 0) {
            const std::size_t before = body.size();
            body.resize(before + available);
            std::uint32_t read = 0;
            const bool ok = m_api.WinHttpReadData(m_request, body.data() + before, available, read);
            body.resize(before + (ok ? std::min(read, available) : 0));
            if (!ok) {
                setStatus(k713Read);
                break;
            }
        }
        return body;
    }

    bool readHeaders(Text& headers) {
        std::uint32_t length = 0;
        std::uint32_t index = 0;
        (void)m_api.WinHttpQueryHeaders(m_request, WINHTTP_QUERY_RAW_HEADERS_CRLF, nullptr, length, index);
        ByteSet buffer(length, 0);
        if (!m_api.WinHttpQueryHeaders(m_request, WINHTTP_QUERY_RAW_HEADERS_CRLF, buffer.data(), length,
                                       index)) {
            return false;
        }
        headers = Utf16ToText(buffer);
        return true;
    }

    void setStatus(const char* message) {
        if (m_options.statusText != nullptr) {
            *m_options.statusText = message;
        }
    }

    bool fail(const char* message) {
        setStatus(message);
        return false;
    }

    bool returnEarly(const char* message) {
        m_returnedEarly = true;
        return fail(message);
    }

    void closeHandles() {
        for (HInternet* handle : {&m_request, &m_connection, &m_root}) {
            if (*handle != 0) {
                m_api.WinHttpCloseHandle(*handle);
                *handle = 0;
            }
        }
    }

    WinHttpApi& m_api;
    const WinHttpFetchOptions& m_options;
    HInternet m_root = 0;
    HInternet m_connection = 0;
    HInternet m_request = 0;
    int m_attemptedSteps = 0;
    bool m_returnedEarly = false;
};

}  // namespace

Text winHttpFetchWith(WinHttpApi& api, std::string_view url, const WinHttpFetchOptions& options) noexcept {
    try {
        // Made first and destroyed last: it holds the apartment for the whole call.
        RegexObject pattern;
        PageExchange exchange(api, options);
        return exchange.run(url, pattern);
    } catch (const std::exception&) {
        // Memory ran out somewhere on the way (a huge page, a huge header block): the fetch fails as
        // a read does, with an empty page, and nothing escapes to the caller. The handles are
        // closed by then, the apartment released.
        if (options.statusText != nullptr) {
            try {
                *options.statusText = k713Read;
            } catch (const std::exception&) {
                // Not even the message fits: the empty page alone tells the failure.
            }
        }
        return {};
    }
}

Text WinHttpFetch(std::string_view url, const WinHttpFetchOptions& options) noexcept {
    try {
        const std::unique_ptr<WinHttpApi> api = makeEngineWinHttpApi();
        return winHttpFetchWith(*api, url, options);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace tarlowen
