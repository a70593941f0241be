#include "transfer/automation/automation_fetch.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/apartment.hpp"
#include "platform/automation_component.hpp"
#include "support/case_name.hpp"
#include "support/recording_component.hpp"
#include "support/scripted_http_server.hpp"

namespace tarlowen {
namespace {

using testing_support::PrintTo;
using testing_support::RecordingComponent;
using testing_support::Reply;
using testing_support::respond;
using testing_support::RefusingPort;
using testing_support::ScriptedHttpServer;

constexpr char kProgId[] = "WinHttp.WinHttpRequest.5.1";
constexpr char kUrl[] = "http://media.example/a.m4a";
constexpr char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

using Log = RecordingComponent::Log;

const std::vector<std::string> kReads = {"get ResponseBody", "get GetallResponseHeaders", "get Status"};

std::string call(const std::string& name, const std::string& arguments) {
    return name + "(" + arguments + ")";
}

std::string header(const std::string& name, const std::string& value) {
    return call("SetRequestHeader", "\"" + name + "\", \"" + value + "\"");
}

// The four default lines as the object receives them, for the address kUrl.
std::vector<std::string> defaultHeaderCalls() {
    return {header("Accept", "*/*"), header("Referer", kUrl), header("Accept-Language", "zh-cn"),
            header("User-Agent", kUserAgent)};
}

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const std::string kTimeouts15 = "SetTimeouts(15000, 15000, 15000, 15000)";
const std::string kOpenGet = call("Open", std::string("\"GET\", \"") + kUrl + "\", false");
const std::string kIgnoreCertificateErrors = "put Option[4] = 13056";

// The apartment count is back at zero whatever a test did.
class AutomationFetchTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(apartmentCount(), 0); }
};

// ---- the calls the request object receives -------------------------------------------------------

struct CallCase {
    const char* name;
    int method = 0;
    std::optional<Text> headers;
    std::optional<Text> cookies;
    bool noRedirect = false;
    std::string bodyText;
    std::string bodyBytes;
    std::string proxy;
    int timeoutSeconds = 0;
    std::string proxyUser;
    std::string proxyPassword;
    int proxyAuthMode = 1;
    std::vector<std::string> calls;       // up to and including Send; the three reads follow
    std::optional<Text> headersOnReturn;  // checked when given
};

class AutomationFetchCallsTest : public ::testing::TestWithParam<CallCase> {
  protected:
    void TearDown() override { EXPECT_EQ(apartmentCount(), 0); }
};

TEST_P(AutomationFetchCallsTest, ObjectReceivesExactlyTheseCalls) {
    const CallCase& c = GetParam();
    auto log = std::make_shared<Log>();
    const ScopedComponent request(kProgId, RecordingComponent::factory(log));
    Text headers = c.headers.value_or("");
    Text cookies = c.cookies.value_or("");
    const ByteSet bodyBytes(c.bodyBytes.begin(), c.bodyBytes.end());

    const ByteSet body = AutomationFetch(kUrl, {.method = c.method,
                                                .bodyText = c.bodyText,
                                                .cookies = c.cookies ? &cookies : nullptr,
                                                .headers = c.headers ? &headers : nullptr,
                                                .noRedirect = c.noRedirect,
                                                .bodyBytes = bodyBytes,
                                                .proxy = c.proxy,
                                                .timeoutSeconds = c.timeoutSeconds,
                                                .proxyUser = c.proxyUser,
                                                .proxyPassword = c.proxyPassword,
                                                .proxyAuthMode = c.proxyAuthMode});

    EXPECT_TRUE(body.empty());
    EXPECT_EQ(*log, joined({c.calls, kReads}));
    if (c.headersOnReturn) {
        EXPECT_EQ(headers, *c.headersOnReturn);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AutomationFetchCallsTest,
    ::testing::Values(
        CallCase{.name = "allArgumentsAbsent",
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        // Only the first colon of a line separates the name from the value.
        CallCase{
            .name = "valueWithColon",
            .headers = "X-Time: 10:30",
            .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors, header("X-Time", "10:30")},
                             defaultHeaderCalls(),
                             {"Send(\"\")"}}),
            .headersOnReturn = std::string("X-Time: 10:30\r\nAccept: */*\r\nReferer: ") + kUrl +
                               "\r\nAccept-Language: zh-cn\r\nUser-Agent: " + kUserAgent},
        CallCase{.name = "methodAboveTableIsGet",
                 .method = 9,
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        CallCase{.name = "negativeMethodIsGet",
                 .method = -1,
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        CallCase{.name = "postGetsFormContentType",
                 .method = 1,
                 .bodyText = "a=1",
                 .calls = joined(
                     {{kTimeouts15, call("Open", std::string("\"POST\", \"") + kUrl + "\", false"),
                       kIgnoreCertificateErrors},
                      defaultHeaderCalls(),
                      {header("Content-Type", "application/x-www-form-urlencoded"), "Send(\"a=1\")"}})},
        CallCase{
            .name = "postKeepsGivenContentType",
            .method = 1,
            .headers = "Content-Type: text/plain",
            .calls = joined({{kTimeouts15, call("Open", std::string("\"POST\", \"") + kUrl + "\", false"),
                              kIgnoreCertificateErrors, header("Content-Type", "text/plain")},
                             defaultHeaderCalls(),
                             {"Send(\"\")"}})},
        CallCase{.name = "otherMethodsByIndex",
                 .method = 7,
                 .headers = "Accept: a\r\nReferer: r\r\nAccept-Language: l\r\nUser-Agent: u",
                 .calls = {kTimeouts15, call("Open", std::string("\"CONNECT\", \"") + kUrl + "\", false"),
                           kIgnoreCertificateErrors, header("Accept", "a"), header("Referer", "r"),
                           header("Accept-Language", "l"), header("User-Agent", "u"), "Send(\"\")"}},
        // The presence tests respect letter case, so a lower-case line gets a default beside it.
        CallCase{
            .name = "lowerCaseAcceptDoesNotCount",
            .headers = "accept: text/html",
            .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors, header("accept", "text/html")},
                             defaultHeaderCalls(),
                             {"Send(\"\")"}})},
        CallCase{
            .name = "timeoutMinusOneLeavesObjectLimits",
            .timeoutSeconds = -1,
            .calls = joined({{kOpenGet, kIgnoreCertificateErrors}, defaultHeaderCalls(), {"Send(\"\")"}})},
        CallCase{.name = "timeoutZeroIs15Seconds",
                 .timeoutSeconds = 0,
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        CallCase{.name = "timeoutBelowMinusOneIs15Seconds",
                 .timeoutSeconds = -5,
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        CallCase{
            .name = "timeoutInSeconds",
            .timeoutSeconds = 20,
            .calls = joined({{"SetTimeouts(20000, 20000, 20000, 20000)", kOpenGet, kIgnoreCertificateErrors},
                             defaultHeaderCalls(),
                             {"Send(\"\")"}})},
        // 4294968 s is 4294968000 ms, which keeps 704 in 32 bits.
        CallCase{.name = "timeoutTruncatedTo32Bits",
                 .timeoutSeconds = 4294968,
                 .calls = joined({{"SetTimeouts(704, 704, 704, 704)", kOpenGet, kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        CallCase{.name = "proxyWithoutUser",
                 .proxy = "127.0.0.1:8080",
                 .calls = joined({{kTimeouts15, "SetProxy(2, \"127.0.0.1:8080\")", kOpenGet,
                                   kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        // The credentials header is set before Open.
        CallCase{.name = "proxyWithUser",
                 .proxy = "127.0.0.1:8080",
                 .proxyUser = "user",
                 .proxyPassword = "pass",
                 .calls = joined({{kTimeouts15, "SetProxy(2, \"127.0.0.1:8080\")",
                                   header("Proxy-Authorization", "Basic dXNlcjpwYXNz"), kOpenGet,
                                   kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        CallCase{.name = "proxyWithEmptyPasswordKeepsColon",
                 .proxy = "127.0.0.1:8080",
                 .proxyUser = "user",
                 .calls = joined({{kTimeouts15, "SetProxy(2, \"127.0.0.1:8080\")",
                                   header("Proxy-Authorization", "Basic dXNlcjo="), kOpenGet,
                                   kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        CallCase{.name = "proxyAuthModeOtherThanBasicSendsNoCredentials",
                 .proxy = "127.0.0.1:8080",
                 .proxyUser = "user",
                 .proxyPassword = "pass",
                 .proxyAuthMode = 2,
                 .calls = joined({{kTimeouts15, "SetProxy(2, \"127.0.0.1:8080\")", kOpenGet,
                                   kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        CallCase{.name = "proxyUserWithoutProxySendsNothing",
                 .proxyUser = "user",
                 .proxyPassword = "pass",
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        CallCase{.name = "noRedirect",
                 .noRedirect = true,
                 .calls = joined({{kTimeouts15, kOpenGet, "put Option[6] = 0", kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        // The cookie header comes before the block's lines and is set even with an empty text.
        CallCase{.name = "emptyCookiesStillSent",
                 .cookies = "",
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors, header("Cookie", "")},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        CallCase{
            .name = "cookiesSentUnchanged",
            .cookies = "a=1;b = 2",
            .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors, header("Cookie", "a=1;b = 2")},
                             defaultHeaderCalls(),
                             {"Send(\"\")"}})},
        CallCase{.name = "lineWithoutColonGivesEmptyNameAndValue",
                 .headers = "NoColonHere",
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors, header("", "")},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        // Spaces (ASCII and ideographic) are trimmed, tabs are not; a lone LF is no line break.
        CallCase{.name = "trimsSpacesButNotTabs",
                 .headers = "\xA1\xA1X-A :\t1 \xA1\xA1\r\nX-B: 2\nX-C: 3",
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors, header("X-A", "\\u00091"),
                                   header("X-B", "2\\u000AX-C: 3")},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}})},
        // The empty line before the first default is kept in the block but not handed over.
        CallCase{.name = "headersEndingInLineBreak",
                 .headers = "X-A: 1\r\n",
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors, header("X-A", "1")},
                                  defaultHeaderCalls(),
                                  {"Send(\"\")"}}),
                 .headersOnReturn = std::string("X-A: 1\r\n\r\nAccept: */*\r\nReferer: ") + kUrl +
                                    "\r\nAccept-Language: zh-cn\r\nUser-Agent: " + kUserAgent},
        CallCase{.name = "bytesWinOverText",
                 .bodyText = "text",
                 .bodyBytes = std::string("\0\1\2", 3),
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(bytes[3])"}})},
        CallCase{.name = "textBodyWhenNoBytes",
                 .bodyText = "text",
                 .calls = joined({{kTimeouts15, kOpenGet, kIgnoreCertificateErrors},
                                  defaultHeaderCalls(),
                                  {"Send(\"text\")"}})}),
    testing_support::CaseName{});

// ---- what the routine makes of the object's answers ------------------------------------------------

// A recording object that answers the three reads with a scripted response.
RecordingComponent::Answer scriptedResponse(std::string headerText, ByteSet body, double status) {
    return [headerText = std::move(headerText), body = std::move(body), status](
               RecordingComponent::Kind, const std::string& name,
               AutomationArguments) -> std::optional<AutomationValue> {
        if (name == "GetallResponseHeaders") {
            return AutomationValue(headerText);
        }
        if (name == "ResponseBody") {
            return AutomationValue(body);
        }
        if (name == "Status") {
            return AutomationValue(status);
        }
        return AutomationValue{};
    };
}

struct CookieCase {
    const char* name;
    std::string responseHeaders;
    std::optional<Text> cookies;
    bool mergeCookies = true;
    Text returnedCookies;
    std::optional<Text> cookiesOnReturn;
};

class AutomationFetchCookiesTest : public ::testing::TestWithParam<CookieCase> {
  protected:
    void TearDown() override { EXPECT_EQ(apartmentCount(), 0); }
};

TEST_P(AutomationFetchCookiesTest, CollectsSetCookiePairsAndMerges) {
    const CookieCase& c = GetParam();
    const ScopedComponent request(
        kProgId,
        RecordingComponent::factory(std::make_shared<Log>(), scriptedResponse(c.responseHeaders, {}, 200)));
    Text cookies = c.cookies.value_or("");
    Text returned = "stale";

    (void)AutomationFetch(kUrl, {.cookies = c.cookies ? &cookies : nullptr,
                                 .returnedCookies = &returned,
                                 .mergeCookies = c.mergeCookies});

    EXPECT_EQ(returned, c.returnedCookies);
    if (c.cookiesOnReturn) {
        EXPECT_EQ(cookies, *c.cookiesOnReturn);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AutomationFetchCookiesTest,
    ::testing::Values(
        CookieCase{.name = "firstPairOfEachLineInOrder",
                   .responseHeaders = "Content-Type: x\r\nSet-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n\r\n",
                   .returnedCookies = "a=1; b=2"},
        CookieCase{.name = "lowerCaseAndNoSpaceLinesNotCollected",
                   .responseHeaders = "set-cookie: x=1\r\nSet-Cookie:x=2\r\nSet-Cookie: y=3\r\n\r\n",
                   .returnedCookies = "y=3"},
        CookieCase{
            .name = "noSetCookieLine", .responseHeaders = "Content-Length: 0\r\n\r\n", .returnedCookies = ""},
        // Without ";" every "Set-Cookie:" of the line goes, whatever its letter case.
        CookieCase{.name = "lineWithoutSemicolonLosesEveryMarker",
                   .responseHeaders = "Set-Cookie: k=set-cookie:v \xA1\xA1\r\n",
                   .returnedCookies = "k=v"},
        CookieCase{.name = "emptyValueStillTakesItsPlace",
                   .responseHeaders = "Set-Cookie: \r\nSet-Cookie: b=2\r\n",
                   .returnedCookies = "; b=2"},
        CookieCase{.name = "mergedIntoCookiesAndReturned",
                   .responseHeaders = "Set-Cookie: a=1\r\nSet-Cookie: b=2; path=/\r\n\r\n",
                   .cookies = "b=old; c=3",
                   .returnedCookies = "a=1; b=2; c=3",
                   .cookiesOnReturn = "a=1; b=2; c=3"},
        CookieCase{.name = "emptyCookiesStillMerge",
                   .responseHeaders = "Set-Cookie: a = 1\r\n",
                   .cookies = "",
                   .returnedCookies = "a=1",
                   .cookiesOnReturn = "a=1"},
        CookieCase{.name = "noMergeWhenSwitchedOff",
                   .responseHeaders = "Set-Cookie: a=1\r\n",
                   .cookies = "c=3",
                   .mergeCookies = false,
                   .returnedCookies = "a=1",
                   .cookiesOnReturn = "c=3"}),
    testing_support::CaseName{});

TEST_F(AutomationFetchTest, ReturnsBodyHeadersAndTruncatedStatus) {
    const ByteSet sent = {0, 1, 0xFF, '\r', '\n', 0};
    const ScopedComponent request(
        kProgId,
        RecordingComponent::factory(std::make_shared<Log>(), scriptedResponse("A: b\r\n\r\n", sent, 404.9)));
    Text responseHeaders;
    int status = -7;

    const ByteSet body = AutomationFetch(kUrl, {.responseHeaders = &responseHeaders, .status = &status});

    EXPECT_EQ(body, sent);
    EXPECT_EQ(responseHeaders, "A: b\r\n\r\n");
    EXPECT_EQ(status, 404);
}

// Every call fails, as after a Send that could not reach the server.
TEST_F(AutomationFetchTest, FailedExchangeGivesEmptyOutputsAndMergesWithNothing) {
    const ScopedComponent request(
        kProgId, RecordingComponent::factory(
                     std::make_shared<Log>(),
                     [](RecordingComponent::Kind, const std::string&,
                        AutomationArguments) -> std::optional<AutomationValue> { return {}; }));
    Text cookies = "a = 1";
    Text returned = "stale";
    Text responseHeaders = "stale";
    int status = -7;

    const ByteSet body = AutomationFetch(kUrl, {.cookies = &cookies,
                                                .returnedCookies = &returned,
                                                .responseHeaders = &responseHeaders,
                                                .status = &status});

    EXPECT_TRUE(body.empty());
    EXPECT_EQ(responseHeaders, "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(returned, "a=1");
    EXPECT_EQ(cookies, "a=1");
}

TEST_F(AutomationFetchTest, CreationFailureLeavesEveryOutputUntouched) {
    const ScopedComponent noRequest(kProgId, [] { return std::shared_ptr<AutomationComponent>(); });
    Text cookies = "c=1";
    Text returned = "r";
    Text headers = "X-A: 1";
    Text responseHeaders = "h";
    int status = 77;

    const ByteSet body = AutomationFetch(kUrl, {.cookies = &cookies,
                                                .returnedCookies = &returned,
                                                .headers = &headers,
                                                .responseHeaders = &responseHeaders,
                                                .status = &status});

    EXPECT_TRUE(body.empty());
    EXPECT_EQ(cookies, "c=1");
    EXPECT_EQ(returned, "r");
    EXPECT_EQ(headers, "X-A: 1");
    EXPECT_EQ(responseHeaders, "h");
    EXPECT_EQ(status, 77);
}

TEST_F(AutomationFetchTest, HoldsOneApartmentWhileTheObjectIsInUse) {
    std::vector<int> counts;
    const ScopedComponent request(
        kProgId,
        RecordingComponent::factory(std::make_shared<Log>(),
                                    [&counts](RecordingComponent::Kind, const std::string&,
                                              AutomationArguments) -> std::optional<AutomationValue> {
                                        counts.push_back(apartmentCount());
                                        return AutomationValue{};
                                    }));
    (void)AutomationFetch(kUrl);
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts, std::vector<int>(counts.size(), 1));
}

TEST_F(AutomationFetchTest, SuppliedObjectIsUsedAndStaysUsable) {
    int created = 0;
    const ScopedComponent request(kProgId, [&created] {
        ++created;
        return std::shared_ptr<AutomationComponent>();
    });
    auto log = std::make_shared<Log>();
    AutomationObject mine(std::make_shared<RecordingComponent>(log));

    (void)AutomationFetch(kUrl, {.requestObject = mine});

    EXPECT_EQ(created, 0);
    ASSERT_FALSE(IsEmpty(mine));
    EXPECT_EQ(log->front(), kTimeouts15);
    EXPECT_EQ(log->back(), "get Status");
    InvokeMethod(mine, "Abort");
    EXPECT_EQ(log->back(), "Abort()");
}

// An empty object is taken as it is: nothing is created and every call quietly fails.
TEST_F(AutomationFetchTest, SuppliedEmptyObjectIsNotReplaced) {
    int created = 0;
    auto log = std::make_shared<Log>();
    const ScopedComponent request(kProgId, [&created, log] {
        ++created;
        return std::make_shared<RecordingComponent>(log);
    });
    int status = -7;

    const ByteSet body = AutomationFetch(kUrl, {.status = &status, .requestObject = AutomationObject{}});

    EXPECT_TRUE(body.empty());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(created, 0);
    EXPECT_TRUE(log->empty());
}

// ---- real exchanges over loopback ------------------------------------------------------------------

std::string text(const ByteSet& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(AutomationFetchTest, DownloadsBinaryBodyByteForByteWithDefaultHeaders) {
    std::string media;
    for (int i = 0; i < 3 * 256; ++i) {
        media.push_back(static_cast<char>(i % 256));
    }
    ScriptedHttpServer server;
    server.route("/a.m4a", respond(200, {{"Content-Type", "audio/mp4"}}, media));
    const std::string url = server.url("/a.m4a");
    Text responseHeaders;
    int status = 0;

    const ByteSet body = AutomationFetch(url, {.responseHeaders = &responseHeaders, .status = &status});

    EXPECT_EQ(text(body), media);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(responseHeaders, "Content-Type: audio/mp4\r\nContent-Length: 768\r\n\r\n");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].head(), "GET /a.m4a HTTP/1.1\r\nHost: " + server.authority() +
                                      "\r\nAccept: */*\r\nReferer: " + url +
                                      "\r\nAccept-Language: zh-cn\r\nUser-Agent: " + kUserAgent + "\r\n\r\n");
}

// With a sink the body streams past the caller: nothing is returned, the rest comes back as usual.
TEST_F(AutomationFetchTest, SinkReceivesTheBodyAsItArrives) {
    std::string media;
    for (int i = 0; i < 200 * 1024; ++i) {
        media.push_back(static_cast<char>(i * 7 % 251));
    }
    ScriptedHttpServer server;
    server.route("/a.m4a", Reply{}.send(testing_support::responseHead(200, {{"Transfer-Encoding", "chunked"}}) +
                                        testing_support::chunkedBody({media.substr(0, 5), media.substr(5)})));
    server.route("/cut", Reply{}.send(testing_support::responseHead(200, {{"Content-Length", "10"}}) + "abc").close());
    std::string received;
    int pieces = 0;
    bool lengthAnnounced = false;
    const HttpBodySink sink = [&](const HttpBodyPiece& piece) {
        received.append(piece.bytes.begin(), piece.bytes.end());
        ++pieces;
        lengthAnnounced = lengthAnnounced || piece.contentLength.has_value();
        return true;
    };
    Text responseHeaders;
    int status = 0;

    const ByteSet body =
        AutomationFetch(server.url("/a.m4a"), {.responseHeaders = &responseHeaders, .status = &status, .bodySink = sink});

    EXPECT_TRUE(body.empty());
    EXPECT_TRUE(received == media);
    EXPECT_GE(pieces, 2);
    EXPECT_FALSE(lengthAnnounced);  // a chunked body announces none
    EXPECT_EQ(status, 200);
    EXPECT_EQ(responseHeaders, "Transfer-Encoding: chunked\r\n\r\n");

    // A body cut short: the exchange failed, status 0.
    EXPECT_TRUE(AutomationFetch(server.url("/cut"), {.status = &status, .bodySink = sink}).empty());
    EXPECT_EQ(status, 0);
}

// A request object without the native channel still feeds the sink: the body in one piece, and a
// refusal makes the exchange a failed one.
TEST_F(AutomationFetchTest, ObjectWithoutTheChannelHandsTheBodyOverInOnePiece) {
    const ByteSet sent = {0, 1, 0xFF, 0};
    auto log = std::make_shared<Log>();
    const ScopedComponent request(kProgId, RecordingComponent::factory(log, scriptedResponse("A: b\r\n\r\n", sent, 200)));
    std::vector<std::pair<int, ByteSet>> pieces;
    bool accept = true;
    const HttpBodySink sink = [&](const HttpBodyPiece& piece) {
        pieces.emplace_back(piece.status, ByteSet(piece.bytes.begin(), piece.bytes.end()));
        return accept;
    };
    int status = 0;

    EXPECT_TRUE(AutomationFetch(kUrl, {.status = &status, .bodySink = sink}).empty());
    EXPECT_EQ(status, 200);
    accept = false;
    EXPECT_TRUE(AutomationFetch(kUrl, {.status = &status, .bodySink = sink}).empty());
    EXPECT_EQ(status, 0);

    EXPECT_EQ(pieces, (std::vector<std::pair<int, ByteSet>>{{200, sent}, {200, sent}}));
    EXPECT_EQ(std::count(log->begin(), log->end(), "get ResponseBody"), 2);
}

TEST_F(AutomationFetchTest, CookiesTravelAndSetCookiesAreCollectedAndMerged) {
    ScriptedHttpServer server;
    server.route(
        "/login",
        respond(200, {{"Set-Cookie", "sid=7; Path=/; HttpOnly"}, {"Set-Cookie", "old=deleted"}}, "ok"));
    Text cookies = "old=1; keep=2";
    Text returned;

    const ByteSet body =
        AutomationFetch(server.url("/login"), {.cookies = &cookies, .returnedCookies = &returned});

    EXPECT_EQ(text(body), "ok");
    EXPECT_EQ(returned, "sid=7; keep=2");
    EXPECT_EQ(cookies, "sid=7; keep=2");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].header("Cookie"), "old=1; keep=2");
}

TEST_F(AutomationFetchTest, UnreachablePortGivesEmptyBodyAndStatusZero) {
    const RefusingPort refusing;
    Text responseHeaders = "stale";
    Text returned = "stale";
    int status = -7;

    const ByteSet body = AutomationFetch("http://127.0.0.1:" + std::to_string(refusing.port()) + "/a.m4a",
                                         {.returnedCookies = &returned,
                                          .responseHeaders = &responseHeaders,
                                          .status = &status,
                                          .timeoutSeconds = 5});

    EXPECT_TRUE(body.empty());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(responseHeaders, "");
    EXPECT_EQ(returned, "");
}

TEST_F(AutomationFetchTest, SelfSignedCertificateIsAccepted) {
    ScriptedHttpServer server({.tls = true});
    server.route("/a.m4a", respond(200, {}, "secure"));
    int status = 0;

    const ByteSet body = AutomationFetch(server.url("/a.m4a"), {.status = &status});

    EXPECT_EQ(text(body), "secure");
    EXPECT_EQ(status, 200);
}

TEST_F(AutomationFetchTest, RedirectsAreFollowedUnlessSwitchedOff) {
    ScriptedHttpServer server;
    server.route("/old", testing_support::redirectTo("/new"));
    server.route("/new", respond(200, {}, "moved here"));
    int status = 0;

    EXPECT_EQ(text(AutomationFetch(server.url("/old"), {.status = &status})), "moved here");
    EXPECT_EQ(status, 200);

    Text responseHeaders;
    EXPECT_EQ(
        text(AutomationFetch(server.url("/old"),
                             {.responseHeaders = &responseHeaders, .status = &status, .noRedirect = true})),
        "");
    EXPECT_EQ(status, 302);
    EXPECT_NE(responseHeaders.find("Location: /new\r\n"), std::string::npos);
    EXPECT_EQ(server.requests().size(), 3u);
}

// The credentials header is set before Open and still reaches the proxy, for a request in absolute
// form and for the CONNECT of a tunnel, whose origin never sees it.
TEST_F(AutomationFetchTest, ProxyReceivesCredentialsSetBeforeOpen) {
    ScriptedHttpServer origin;
    ScriptedHttpServer secureOrigin({.tls = true});
    ScriptedHttpServer proxy;
    secureOrigin.route("/a.m4a", respond(200, {}, "through the tunnel"));
    proxy.tunnelConnects();
    proxy.setDefaultReply(respond(200, {}, "from the proxy"));
    const std::string proxyAuthority = proxy.authority();
    const AutomationFetchOptions viaProxy{
        .proxy = proxyAuthority, .proxyUser = "user", .proxyPassword = "pass"};

    EXPECT_EQ(text(AutomationFetch(origin.url("/a.m4a"), viaProxy)), "from the proxy");
    EXPECT_EQ(text(AutomationFetch(secureOrigin.url("/a.m4a"), viaProxy)), "through the tunnel");

    const auto atProxy = proxy.requests();
    ASSERT_EQ(atProxy.size(), 2u);
    EXPECT_EQ(atProxy[0].target, origin.url("/a.m4a"));
    EXPECT_EQ(atProxy[0].header("Proxy-Authorization"), "Basic dXNlcjpwYXNz");
    EXPECT_EQ(atProxy[1].method, "CONNECT");
    EXPECT_EQ(atProxy[1].header("Proxy-Authorization"), "Basic dXNlcjpwYXNz");
    EXPECT_TRUE(origin.requests().empty());
    ASSERT_EQ(secureOrigin.requests().size(), 1u);
    EXPECT_EQ(secureOrigin.requests()[0].header("Proxy-Authorization"), std::nullopt);
}

// A media address holding CR LF adds no header line: the Referer default leaves the line breaks
// out, and the address itself goes on the wire percent-escaped.
TEST_F(AutomationFetchTest, LineBreaksInTheAddressAddNoHeaderLines) {
    ScriptedHttpServer server;
    server.setDefaultReply(respond(200, {}, "media"));
    const std::string url = server.url("/media?x\r\nX-Injected: yes\r\nHost: injected.example");

    const ByteSet body = AutomationFetch(url);

    EXPECT_EQ(text(body), "media");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/media?x%0D%0AX-Injected:%20yes%0D%0AHost:%20injected.example");
    EXPECT_EQ(requests[0].header("X-Injected"), std::nullopt);
    EXPECT_EQ(requests[0].header("Host"), server.authority());
    EXPECT_EQ(requests[0].header("Referer"), server.url("/media?xX-Injected: yesHost: injected.example"));
}

}  // namespace
}  // namespace tarlowen
