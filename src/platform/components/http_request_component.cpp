#include "platform/components/http_request_component.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/automation_component.hpp"
#include "platform/code_page.hpp"
#include "text/ascii_case.hpp"
#include "platform/http_engine.hpp"

namespace tarlowen {
namespace {

constexpr std::int32_t kProxySettingDefault = 0;
constexpr std::int32_t kProxySettingDirect = 1;
constexpr std::int32_t kProxySettingNamed = 2;

constexpr std::int32_t kOptionCertificateErrorsToIgnore = 4;
constexpr std::int32_t kOptionFollowRedirects = 6;

// Certificate errors a caller may ask to ignore: an unknown authority, a certificate used for the
// wrong purpose, a name that does not match, a date outside the certificate's validity.
constexpr std::int32_t kIgnoreUnknownAuthority = 0x0100;
constexpr std::int32_t kIgnoreWrongUsage = 0x0200;
constexpr std::int32_t kIgnoreNameMismatch = 0x1000;
constexpr std::int32_t kIgnoreInvalidDate = 0x2000;
constexpr std::int32_t kIgnoreAllCertificateErrors =
    kIgnoreUnknownAuthority | kIgnoreWrongUsage | kIgnoreNameMismatch | kIgnoreInvalidDate;

[[nodiscard]] std::optional<std::int32_t> wholeNumber(const AutomationValue& value) {
    const auto number = value.number();
    if (!number || !std::isfinite(*number) || *number != std::trunc(*number) ||
        std::fabs(*number) > 2147483647.0) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*number);
}

[[nodiscard]] bool isTokenCharacter(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) {
        return true;
    }
    return std::u16string_view(u"!#$%&'*+-.^_`|~").find(c) != std::u16string_view::npos;
}

// A header name is a non-empty HTTP token; a value may hold anything but a line break or a zero,
// which would let it end the header early.
[[nodiscard]] bool isHeaderName(std::u16string_view name) {
    if (name.empty()) {
        return false;
    }
    for (const char16_t c : name) {
        if (!isTokenCharacter(c)) {
            return false;
        }
    }
    return true;
}

[[nodiscard]] bool isHeaderValue(std::u16string_view value) {
    return value.find_first_of(std::u16string_view(u"\r\n\0", 3)) == std::u16string_view::npos;
}

[[nodiscard]] std::optional<std::string> base64Decode(std::string_view text) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto sextet = [](char c) -> int {
        const auto at = kAlphabet.find(c);
        return at == std::string_view::npos ? -1 : static_cast<int>(at);
    };
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const std::string_view quad = text.substr(at, 4);
        // Only the last group may be filled out, with "=" or "==".
        int padding = 0;
        if (at + 4 == text.size() && quad[3] == '=') {
            padding = quad[2] == '=' ? 2 : 1;
        }
        std::uint32_t group = 0;
        for (std::size_t i = 0; i < 4 - static_cast<std::size_t>(padding); ++i) {
            const int value = sextet(quad[i]);
            if (value < 0) {
                return std::nullopt;
            }
            group = (group << 6) | static_cast<std::uint32_t>(value);
        }
        group <<= 6 * padding;
        bytes.push_back(static_cast<char>(group >> 16));
        if (padding < 2) {
            bytes.push_back(static_cast<char>((group >> 8) & 0xFF));
        }
        if (padding < 1) {
            bytes.push_back(static_cast<char>(group & 0xFF));
        }
    }
    return bytes;
}

// Proxy credentials carried by a "Basic user:password" Proxy-Authorization value. Handing them to the
// engine lets it present them to the proxy itself, on a CONNECT as well as on a plain request, and
// keeps them away from the origin server inside a tunnel. Splitting at the first ":" and joining
// again gives the same header bytes whatever the name holds.
[[nodiscard]] std::optional<HttpCredentials> basicCredentials(std::string_view value) {
    constexpr std::string_view kScheme = "Basic ";
    if (value.size() <= kScheme.size() || !equalsIgnoringAsciiCase(value.substr(0, kScheme.size()), kScheme)) {
        return std::nullopt;
    }
    const auto decoded = base64Decode(value.substr(kScheme.size()));
    if (!decoded || decoded->find('\0') != std::string::npos) {
        return std::nullopt;  // the engine takes the credentials as zero-terminated texts
    }
    const auto colon = decoded->find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    return HttpCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

// The header lines without the status line: each ends in CRLF and the block ends in an empty line.
[[nodiscard]] std::string headerLinesOf(const std::string& rawHeaders) {
    const auto statusEnd = rawHeaders.find("\r\n");
    return statusEnd == std::string::npos ? std::string() : rawHeaders.substr(statusEnd + 2);
}

class HttpRequestComponent final : public NativeComponent {
  public:
    HttpRequestComponent() {
        addMethod("SetTimeouts",
                  guarded([this](AutomationArguments arguments) { return setTimeouts(arguments); }));
        addMethod("SetProxy", guarded([this](AutomationArguments arguments) { return setProxy(arguments); }));
        addMethod("SetRequestHeader",
                  guarded([this](AutomationArguments arguments) { return setRequestHeader(arguments); }));
        addMethod("Open", guarded([this](AutomationArguments arguments) { return open(arguments); }));
        addMethod("Send", guarded([this](AutomationArguments arguments) { return send(arguments); }));
        addMethod("GetAllResponseHeaders", guarded([this](AutomationArguments arguments) -> Result {
                      if (!m_response || !arguments.empty()) {
                          return std::nullopt;
                      }
                      return AutomationValue(std::string_view(m_response->headerLines));
                  }));
        addProperty("Status", guarded([this](AutomationArguments index) -> Result {
                        if (!m_response || !index.empty()) {
                            return std::nullopt;
                        }
                        return AutomationValue(static_cast<std::int32_t>(m_response->status));
                    }));
        addProperty("ResponseBody", guarded([this](AutomationArguments index) -> Result {
                        if (!m_response || !m_response->body || !index.empty()) {
                            return std::nullopt;
                        }
                        // Handed over by move: the component keeps no second copy of a large body.
                        AutomationValue body(std::move(*m_response->body));
                        m_response->body.reset();
                        return body;
                    }));
        addProperty("Option", guarded([this](AutomationArguments index) { return readOption(index); }),
                    [this](AutomationArguments index, const AutomationValue& value) {
                        return writeOption(index, value);
                    });
    }

    void setBodySink(HttpBodySink sink) { m_bodySink = std::move(sink); }

  private:
    using Result = std::optional<AutomationValue>;

    struct Response {
        int status = 0;
        std::string headerLines;
        std::optional<ByteSet> body;  // empty once handed out
    };

    // Member handlers never let an exception out; an allocation that fails is a failed call.
    template <class Handler>
    [[nodiscard]] static Method guarded(Handler handler) {
        return [handler = std::move(handler)](AutomationArguments arguments) -> Result {
            try {
                return handler(arguments);
            } catch (const std::exception&) {
                return std::nullopt;
            }
        };
    }

    Result setTimeouts(AutomationArguments arguments) {
        if (arguments.size() != 4) {
            return std::nullopt;
        }
        int limits[4] = {};
        for (std::size_t i = 0; i < 4; ++i) {
            const auto limit = wholeNumber(arguments[i]);
            if (!limit || *limit < -1) {
                return std::nullopt;
            }
            limits[i] = *limit;
        }
        m_timeouts = HttpTimeouts{limits[0], limits[1], limits[2], limits[3]};
        return AutomationValue{};
    }

    Result setProxy(AutomationArguments arguments) {
        if (arguments.empty() || arguments.size() > 3) {
            return std::nullopt;
        }
        const auto setting = wholeNumber(arguments[0]);
        if (setting == kProxySettingDefault || setting == kProxySettingDirect) {
            // There is no machine-wide proxy configuration to fall back on: both mean direct.
            m_proxyList.clear();
            return AutomationValue{};
        }
        if (setting != kProxySettingNamed || arguments.size() < 2) {
            return std::nullopt;
        }
        // The engine cannot bypass the proxy for chosen hosts; refuse a list rather than ignore it.
        if (arguments.size() == 3 && !arguments[2].isEmpty()) {
            const auto bypass = arguments[2].utf16();
            if (!bypass || !bypass->empty()) {
                return std::nullopt;
            }
        }
        const auto server = arguments[1].utf16();
        const auto list = server ? asciiOnly(*server) : std::nullopt;
        if (!list || list->empty()) {
            return std::nullopt;
        }
        m_proxyList = *list;
        return AutomationValue{};
    }

    Result setRequestHeader(AutomationArguments arguments) {
        if (arguments.size() != 2) {
            return std::nullopt;
        }
        const auto name = arguments[0].utf16();
        const auto value = arguments[1].utf16();
        if (!name || !value || !isHeaderName(*name) || !isHeaderValue(*value)) {
            return std::nullopt;
        }
        m_headers.set(encodeCodePage936(*name), encodeCodePage936(*value));
        return AutomationValue{};
    }

    Result open(AutomationArguments arguments) {
        if (arguments.size() < 2 || arguments.size() > 3) {
            return std::nullopt;
        }
        const auto verb = arguments[0].utf16();
        const auto url = arguments[1].utf16();
        if (!verb || !url || !isHeaderName(*verb) ||
            !(startsWithIgnoringAsciiCase(*url, u"http://") || startsWithIgnoringAsciiCase(*url, u"https://"))) {
            return std::nullopt;
        }
        if (arguments.size() == 3 && !arguments[2].isEmpty()) {
            const auto async = arguments[2].boolean();
            if (!async || *async) {
                return std::nullopt;  // only synchronous exchanges are supported
            }
        }
        m_verb = *asciiOnly(*verb);  // a token is ASCII
        m_url = wireForm(*url);
        m_opened = true;
        m_response.reset();
        return AutomationValue{};
    }

    Result send(AutomationArguments arguments) {
        // Used up by this Send whatever happens (see setResponseBodySink).
        const HttpBodySink sink = std::exchange(m_bodySink, nullptr);
        if (!m_opened || arguments.size() > 1) {
            return std::nullopt;
        }
        HttpRequest request;
        if (arguments.size() == 1) {
            const auto& storage = arguments[0].storage();
            if (const auto* text = std::get_if<std::u16string>(&storage)) {
                request.body = utf16ToUtf8(*text);
            } else if (const auto* bytes = std::get_if<ByteSet>(&storage)) {
                request.body.assign(bytes->begin(), bytes->end());
            } else if (!std::holds_alternative<std::monostate>(storage)) {
                return std::nullopt;
            }
        }
        request.method = m_verb;
        request.url = m_url;
        request.proxyList = m_proxyList;
        for (const auto& [name, value] : m_headers.entries()) {
            if (!m_proxyList.empty() && equalsIgnoringAsciiCase(name, "Proxy-Authorization")) {
                if (auto credentials = basicCredentials(value)) {
                    request.proxyCredentials = std::move(*credentials);
                    continue;
                }
            }
            request.headers.set(name, value);
        }
        request.timeouts = m_timeouts;
        request.followRedirects = m_followRedirects;
        request.cookieEngine = true;
        request.verifyTls =
            (m_ignoredCertificateErrors & kIgnoreAllCertificateErrors) != kIgnoreAllCertificateErrors;
        // The engine hands the body to the sink as it arrives and keeps none of it.
        request.bodySink = sink;

        // The opened request and its headers are used up whatever the outcome.
        m_opened = false;
        m_headers = HeaderList{};
        m_response.reset();

        HttpResponse response = performHttpExchange(request);
        if (response.failure != HttpFailurePhase::None) {
            return std::nullopt;
        }
        m_response = Response{response.status, headerLinesOf(response.rawHeaders), std::move(response.body)};
        return AutomationValue{};
    }

    Result readOption(AutomationArguments index) const {
        const auto option = index.size() == 1 ? wholeNumber(index[0]) : std::nullopt;
        if (option == kOptionCertificateErrorsToIgnore) {
            return AutomationValue(m_ignoredCertificateErrors);
        }
        if (option == kOptionFollowRedirects) {
            return AutomationValue(m_followRedirects);
        }
        return std::nullopt;
    }

    bool writeOption(AutomationArguments index, const AutomationValue& value) {
        const auto option = index.size() == 1 ? wholeNumber(index[0]) : std::nullopt;
        if (option == kOptionCertificateErrorsToIgnore) {
            const auto flags = wholeNumber(value);
            if (!flags || (*flags & ~kIgnoreAllCertificateErrors) != 0) {
                return false;
            }
            // The engine checks a certificate wholly or not at all, so it stops checking only when
            // every one of the errors is to be ignored; a partial set keeps the full check.
            m_ignoredCertificateErrors = *flags;
            return true;
        }
        if (option == kOptionFollowRedirects) {
            const auto follow = value.boolean();
            if (!follow) {
                return false;
            }
            m_followRedirects = *follow;
            return true;
        }
        return false;
    }

    HttpBodySink m_bodySink;
    HttpTimeouts m_timeouts;
    std::string m_proxyList;
    std::int32_t m_ignoredCertificateErrors = 0;
    bool m_followRedirects = true;

    HeaderList m_headers;
    bool m_opened = false;
    std::string m_verb;
    std::string m_url;

    std::optional<Response> m_response;
};

}  // namespace

std::shared_ptr<AutomationComponent> makeHttpRequestComponent() {
    return std::make_shared<HttpRequestComponent>();
}

bool setResponseBodySink(const AutomationObject& request, HttpBodySink sink) {
    auto* component = dynamic_cast<HttpRequestComponent*>(request.component());
    if (component == nullptr) {
        return false;
    }
    component->setBodySink(std::move(sink));
    return true;
}

}  // namespace tarlowen
