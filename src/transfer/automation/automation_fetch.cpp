#include "transfer/automation/automation_fetch.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "platform/apartment.hpp"
#include "platform/components/http_request_component.hpp"
#include "text/text_primitives.hpp"
#include "text/text_routines.hpp"
#include "text/text_split.hpp"
#include "transfer/automation/base64.hpp"
#include "transfer/cookies/merge_cookies.hpp"

namespace tarlowen {
namespace {

constexpr std::string_view kRequestProgId = "WinHttp.WinHttpRequest.5.1";
constexpr std::array<std::string_view, 8> kMethods = {"GET",     "POST",   "HEAD",  "PUT",
                                                      "OPTIONS", "DELETE", "TRACE", "CONNECT"};
constexpr int kPostMethod = 1;

constexpr int kDefaultTimeoutMs = 15000;
constexpr int kKeepObjectTimeouts = -1;

constexpr std::int32_t kProxySettingNamed = 2;
constexpr int kBasicProxyAuth = 1;

constexpr std::int32_t kOptionCertificateErrorsToIgnore = 4;
constexpr std::int32_t kOptionFollowRedirects = 6;
// Unknown authority, wrong usage, name mismatch and invalid date: every certificate error.
constexpr std::int32_t kIgnoreAllCertificateErrors = 13056;

constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kDefaultUserAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

// Holds one apartment initialisation for the calling thread until the end of the scope.
class ApartmentScope {
  public:
    ApartmentScope() { CoInitialize(); }
    ~ApartmentScope() { CoUninitialize(); }
    ApartmentScope(const ApartmentScope&) = delete;
    ApartmentScope& operator=(const ApartmentScope&) = delete;
};

[[nodiscard]] bool contains(std::string_view text, std::string_view part) {
    return SearchText(text, part) != -1;
}

// The block's lines: split at CRLF (and at nothing else), empty lines left out. A block without a
// CRLF is a single line.
[[nodiscard]] TextArray nonEmptyLines(std::string_view block) {
    TextArray lines = SplitText(block, kLineBreak);
    std::erase_if(lines, [](const Text& line) { return line.empty(); });
    return lines;
}

// Appends the default header lines the block lacks, each after a CRLF. Presence is the name and
// its colon anywhere in the block, letter case respected, including lines appended before it.
void appendHeaderDefaults(Text& block, std::string_view url, int method) {
    if (block.empty()) {
        block = "Accept: */*";
    } else if (!contains(block, "Accept:")) {
        block += "\r\nAccept: */*";
    }
    if (!contains(block, "Referer:")) {
        block += "\r\nReferer: ";
        // The address goes in without its line breaks and zeros: the block is split into lines at
        // CR LF, and an address holding one would add header lines of its own choosing.
        for (const char c : url) {
            if (c != '\r' && c != '\n' && c != '\0') {
                block += c;
            }
        }
    }
    if (!contains(block, "Accept-Language:")) {
        block += "\r\nAccept-Language: zh-cn";
    }
    if (!contains(block, "User-Agent:")) {
        block += "\r\nUser-Agent: ";
        block += kDefaultUserAgent;
    }
    if (method == kPostMethod && !contains(block, "Content-Type:")) {
        block += "\r\nContent-Type: application/x-www-form-urlencoded";
    }
}

// Hands each line of the block to the object as a name and a value, split at the first colon and
// trimmed of spaces. A line without a colon goes over as an empty name and value, which the object
// refuses; that refusal, like any other, is not looked at.
void setHeaderLines(const AutomationObject& request, std::string_view block) {
    for (const Text& line : nonEmptyLines(block)) {
        const int colon = SearchText(line, ":");
        Text name;
        Text value;
        if (colon != -1) {
            name = TrimSpaces(TakeLeft(line, colon - 1));
            value = TrimSpaces(std::string_view(line).substr(static_cast<std::size_t>(colon)));
        }
        InvokeMethod(request, "SetRequestHeader", {name, value});
    }
}

// The first name=value pair of every "Set-Cookie: " line, in header order, joined by "; ". Only
// lines whose text before the first ": " is exactly "Set-Cookie" count.
[[nodiscard]] Text collectResponseCookies(std::string_view responseHeaders) {
    Text cookies;
    for (const Text& line : nonEmptyLines(responseHeaders)) {
        if (TextBefore(line, ": ") != "Set-Cookie") {
            continue;
        }
        Text value;
        if (!contains(line, ";")) {
            value = TrimSpaces(
                SubstituteText(line, "Set-Cookie:", std::nullopt, std::nullopt, std::nullopt, false));
        } else {
            value = TrimSpaces(TextBetween(line, "Set-Cookie:", ";"));
        }
        cookies += value;
        cookies += "; ";
    }
    return TakeLeft(cookies, static_cast<int>(cookies.size()) - 2);
}

// A status read as a number, truncated toward zero; numbers outside int's range are clamped.
[[nodiscard]] int statusFrom(double number) {
    const double truncated = std::trunc(number);
    if (truncated <= static_cast<double>(std::numeric_limits<int>::min())) {
        return std::numeric_limits<int>::min();
    }
    if (truncated >= static_cast<double>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    return static_cast<int>(truncated);
}

}  // namespace

ByteSet AutomationFetch(std::string_view url, const AutomationFetchOptions& options) {
    const ApartmentScope apartment;  // declared first, so it is released after the object

    const int method =
        options.method >= 0 && options.method < static_cast<int>(kMethods.size()) ? options.method : 0;

    AutomationObject request;
    if (options.requestObject) {
        request = *options.requestObject;  // a shared reference: the caller's object stays usable
    } else if (!CreateAutomationObject(request, kRequestProgId)) {
        return {};
    }

    if (options.timeoutSeconds != kKeepObjectTimeouts) {
        const auto timeoutMs = options.timeoutSeconds < 1
                                   ? kDefaultTimeoutMs
                                   : static_cast<std::int32_t>(static_cast<std::uint32_t>(
                                         std::int64_t{options.timeoutSeconds} * 1000));
        InvokeMethod(request, "SetTimeouts", {timeoutMs, timeoutMs, timeoutMs, timeoutMs});
    }

    if (!options.proxy.empty()) {
        InvokeMethod(request, "SetProxy", {kProxySettingNamed, options.proxy});
        if (!options.proxyUser.empty() && options.proxyAuthMode == kBasicProxyAuth) {
            Text credentials(options.proxyUser);
            credentials += ":";
            credentials += options.proxyPassword;
            // Set before Open: the request object keeps it for the request that Open starts.
            InvokeMethod(request, "SetRequestHeader",
                         {"Proxy-Authorization",
                          "Basic " + Base64Encode(ByteSet(credentials.begin(), credentials.end()))});
        }
    }

    InvokeMethod(request, "Open", {kMethods[static_cast<std::size_t>(method)], url, false});
    if (options.noRedirect) {
        WriteProperty(request, "Option", {kOptionFollowRedirects}, std::int32_t{0});
    }
    WriteProperty(request, "Option", {kOptionCertificateErrorsToIgnore}, kIgnoreAllCertificateErrors);

    Text block = options.headers != nullptr ? *options.headers : Text{};
    appendHeaderDefaults(block, url, method);
    if (options.headers != nullptr) {
        *options.headers = block;
    }
    if (options.cookies != nullptr) {
        InvokeMethod(request, "SetRequestHeader", {"Cookie", *options.cookies});
    }
    setHeaderLines(request, block);

    // The body reaches the caller's sink through the component's native channel, the one thing the
    // members by name cannot carry; Send uses the sink up, and it is taken back here in case Send
    // never ran, so it never stays on a caller's object.
    const bool streamed = options.bodySink && setResponseBodySink(request, options.bodySink);
    if (!options.bodyBytes.empty()) {
        InvokeMethod(request, "Send", {ByteSet(options.bodyBytes.begin(), options.bodyBytes.end())});
    } else {
        InvokeMethod(request, "Send", {options.bodyText});
    }
    if (streamed) {
        setResponseBodySink(request, nullptr);
    }

    // Moved out of the returned value, which the request object filled by move: one copy of the body.
    ByteSet body = AsByteSet(ReadProperty(request, "ResponseBody"));
    const Text responseHeaders = AsText(ReadProperty(request, "GetallResponseHeaders"));
    if (options.responseHeaders != nullptr) {
        *options.responseHeaders = responseHeaders;
    }
    int status = statusFrom(AsNumber(ReadProperty(request, "Status")));
    if (options.bodySink && !streamed && !body.empty()) {
        // An object without the native channel: its body goes to the sink in one piece.
        bool taken = false;
        try {
            taken = options.bodySink(HttpBodyPiece{status, body.size(), body});
        } catch (...) {
            taken = false;  // the sink is the caller's code; whatever it throws is a refusal
        }
        if (!taken) {
            status = 0;
        }
    }
    if (options.bodySink) {
        body = ByteSet{};
    }
    if (options.status != nullptr) {
        *options.status = status;
    }

    Text returnedCookies = collectResponseCookies(responseHeaders);
    if (options.mergeCookies && options.cookies != nullptr) {
        returnedCookies = MergeCookies(*options.cookies, returnedCookies);
    }
    if (options.returnedCookies != nullptr) {
        *options.returnedCookies = std::move(returnedCookies);
    }

    ReleaseObject(request);
    return body;
}

}  // namespace tarlowen
