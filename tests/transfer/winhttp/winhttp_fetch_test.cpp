#include "transfer/winhttp/winhttp_fetch.hpp"

#include <gtest/gtest.h>

#include <new>
#include <set>
#include <string>

#include "platform/apartment.hpp"
#include "platform/automation_component.hpp"
#include "platform/code_page.hpp"
#include "platform/message_pump.hpp"
#include "support/case_name.hpp"
#include "support/recording_component.hpp"
#include "support/scripted_http_server.hpp"

namespace tarlowen {
namespace {

using namespace std::chrono_literals;
using testing_support::PrintTo;
using testing_support::redirectTo;
using testing_support::Reply;
using testing_support::respond;
using testing_support::responseHead;
using testing_support::ScriptedHttpServer;

// The engine's calls, with one of them made to fail and every handle close recorded.
class FailingWinHttpApi final : public WinHttpApi {
public:
    explicit FailingWinHttpApi(std::string failing = {}, int failOnCall = 1,
                               std::uint64_t maxBodyBytes = kMaxPageBodyBytes)
        : m_inner(makeEngineWinHttpApi(maxBodyBytes)), m_failing(std::move(failing)), m_failOnCall(failOnCall) {}

    bool throwsBadAlloc = false;  // the failing call runs out of memory instead of failing
    std::vector<std::string> closed;  // "request", "connection" or "root", in close order
    std::set<HInternet> requests, connections, roots;
    int failedReads = 0;

    bool WinHttpCheckPlatform() override { return !fails("CheckPlatform") && m_inner->WinHttpCheckPlatform(); }
    bool WinHttpCrackUrl(const ByteSet& url, UrlComponents& parts) override {
        return !fails("CrackUrl") && m_inner->WinHttpCrackUrl(url, parts);
    }
    HInternet WinHttpOpen(int accessType, const ByteSet& proxy) override {
        return remember(roots, fails("Open") ? 0 : m_inner->WinHttpOpen(accessType, proxy));
    }
    HInternet WinHttpConnect(HInternet session, const ByteSet& host, int port) override {
        return remember(connections, fails("Connect") ? 0 : m_inner->WinHttpConnect(session, host, port));
    }
    HInternet WinHttpOpenRequest(HInternet connection, const ByteSet& verb, const ByteSet& object,
                                 std::uint32_t flags) override {
        return remember(requests,
                        fails("OpenRequest") ? 0 : m_inner->WinHttpOpenRequest(connection, verb, object, flags));
    }
    bool WinHttpSetTimeouts(HInternet request, int a, int b, int c, int d) override {
        return !fails("SetTimeouts") && m_inner->WinHttpSetTimeouts(request, a, b, c, d);
    }
    bool WinHttpSetCredentials(HInternet request, int target, int scheme, const ByteSet& user,
                               const ByteSet& password) override {
        return !fails("SetCredentials") && m_inner->WinHttpSetCredentials(request, target, scheme, user, password);
    }
    bool WinHttpSetOption(HInternet request, std::uint32_t option, std::uint32_t value) override {
        return !fails("SetOption") && m_inner->WinHttpSetOption(request, option, value);
    }
    bool WinHttpAddRequestHeaders(HInternet request, const ByteSet& headers, std::size_t length,
                                  std::uint32_t modifiers) override {
        return !fails("AddRequestHeaders") && m_inner->WinHttpAddRequestHeaders(request, headers, length, modifiers);
    }
    bool WinHttpSendRequest(HInternet request, std::string_view body) override {
        return !fails("SendRequest") && m_inner->WinHttpSendRequest(request, body);
    }
    bool WinHttpReceiveResponse(HInternet request) override {
        return !fails("ReceiveResponse") && m_inner->WinHttpReceiveResponse(request);
    }
    bool WinHttpQueryDataAvailable(HInternet request, std::uint32_t& available) override {
        return !fails("QueryDataAvailable") && m_inner->WinHttpQueryDataAvailable(request, available);
    }
    bool WinHttpReadData(HInternet request, std::uint8_t* buffer, std::uint32_t toRead, std::uint32_t& read) override {
        const bool ok = !fails("ReadData") && m_inner->WinHttpReadData(request, buffer, toRead, read);
        failedReads += ok ? 0 : 1;
        return ok;
    }
    bool WinHttpQueryHeaders(HInternet request, std::uint32_t level, std::uint8_t* buffer, std::uint32_t& length,
                             std::uint32_t& index) override {
        return !fails("QueryHeaders") && m_inner->WinHttpQueryHeaders(request, level, buffer, length, index);
    }
    void WinHttpCloseHandle(HInternet handle) override {
        closed.push_back(requests.contains(handle) ? "request" : connections.contains(handle) ? "connection" : "root");
        m_inner->WinHttpCloseHandle(handle);
    }

private:
    bool fails(const std::string& call) {
        const bool failing = call == m_failing && ++m_calls[call] == m_failOnCall;
        if (failing && throwsBadAlloc) {
            throw std::bad_alloc();
        }
        return failing;
    }
    static HInternet remember(std::set<HInternet>& set, HInternet handle) {
        if (handle != 0) {
            set.insert(handle);
        }
        return handle;
    }

    std::unique_ptr<WinHttpApi> m_inner;
    std::string m_failing;
    int m_failOnCall;
    std::map<std::string, int> m_calls;
};

// Counts the window-message pumps of one call.
class PumpCounter {
public:
    PumpCounter() { setMessagePumpHandler([this] { ++m_pumps; }); }
    ~PumpCounter() { setMessagePumpHandler({}); }
    [[nodiscard]] int pumps() const { return m_pumps; }

private:
    int m_pumps = 0;
};

Text message(std::u16string_view text) { return encodeCodePage936(text); }

struct FailureCase {
    const char* name;
    std::string failingCall;
    int failOnCall;
    bool credentialsAndNoRedirect;
    std::u16string expectedMessage;
    int expectedPumps;
    std::vector<std::string> expectedCloses;
};

class WinHttpFetchFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(WinHttpFetchFailureTest, ReportsNumberedMessagePumpsAndClosesHandles) {
    const FailureCase& c = GetParam();
    ScriptedHttpServer server;
    server.setDefaultReply(respond(200, {}, "page"));
    FailingWinHttpApi api(c.failingCall, c.failOnCall);
    Text status = "untouched";
    Text responseHeaders = "untouched";
    WinHttpFetchOptions options{.responseHeaders = &responseHeaders, .statusText = &status};
    if (c.credentialsAndNoRedirect) {
        options.noRedirect = true;
        options.serverUser = "u";
        options.serverPassword = "p";
    }
    const PumpCounter counter;
    const Text result = winHttpFetchWith(api, server.url("/"), options);

    EXPECT_EQ(result, "");
    EXPECT_EQ(status, message(c.expectedMessage));
    EXPECT_EQ(responseHeaders, "untouched");
    EXPECT_EQ(counter.pumps(), c.expectedPumps);
    EXPECT_EQ(api.closed, c.expectedCloses);
    EXPECT_EQ(apartmentCount(), 0);
}

const std::vector<std::string> kAllClosed{"request", "connection", "root"};

INSTANTIATE_TEST_SUITE_P(
    Calls, WinHttpFetchFailureTest,
    ::testing::Values(
        FailureCase{"platform", "CheckPlatform", 1, false, u"700 当前系统不支持WinHttp服务!", 0, {}},
        FailureCase{"crackUrl", "CrackUrl", 1, false, u"701 解析URL地址失败!", 1, {}},
        FailureCase{"open", "Open", 1, false, u"702 创建WinHttp会话失败!", 2, {}},
        FailureCase{"connect", "Connect", 1, false, u"703 创建WinHttp连接失败!", 3, {"root"}},
        FailureCase{"openRequest", "OpenRequest", 1, false, u"704 创建WinHttp请求失败!", 4, {"connection", "root"}},
        FailureCase{"timeouts", "SetTimeouts", 1, false, u"705 设置超时时间失败!", 5, kAllClosed},
        FailureCase{"serverCredentials", "SetCredentials", 1, true, u"707 设置代理凭证失败!", 0, kAllClosed},
        FailureCase{"cookieOption", "SetOption", 1, false, u"708 禁止自动设置Cookies失败!", 0, kAllClosed},
        FailureCase{"redirectOption", "SetOption", 2, true, u"709 重定向设置失败!", 0, kAllClosed},
        FailureCase{"headers", "AddRequestHeaders", 1, false, u"710 设置协议头失败!", 6, kAllClosed},
        FailureCase{"send", "SendRequest", 1, false, u"711 发送请求失败!", 7, kAllClosed},
        FailureCase{"receive", "ReceiveResponse", 1, false, u"712 服务器未响应!", 8, kAllClosed}),
    testing_support::CaseName{});

TEST(WinHttpFetchTest, ProxyCredentialsFailureIsAlso707) {
    FailingWinHttpApi api("SetCredentials");
    Text status;
    const PumpCounter counter;
    EXPECT_EQ(winHttpFetchWith(api, "http://127.0.0.1:9/",
                               {.proxyUser = "u", .proxyPassword = "p", .statusText = &status}),
              "");
    EXPECT_EQ(status, message(u"707 设置代理凭证失败!"));
    EXPECT_EQ(counter.pumps(), 0);
}

TEST(WinHttpFetchTest, AddressesThatDoNotParse) {
    for (const char* url : {"", "example.test/page", "ftp://127.0.0.1/", "http://", "http://host:99999/"}) {
        Text status;
        const PumpCounter counter;
        EXPECT_EQ(WinHttpFetch(url, {.statusText = &status}), "") << url;
        EXPECT_EQ(status, message(u"701 解析URL地址失败!")) << url;
        EXPECT_EQ(counter.pumps(), 1) << url;
    }
}

TEST(WinHttpFetchTest, PlainGetSendsDefaultLinesAndFillsOutputs) {
    ScriptedHttpServer server;
    server.route("/page?id=1", respond(200, {{"Set-Cookie", "sid=7; Path=/"}}, "<html>\xD6\xD0</html>"));
    Text status, cookies, headers, location = "kept";
    ByteSet bytes;
    const PumpCounter counter;
    const Text page = WinHttpFetch(server.url("/page?id=1#top"), {.returnedCookies = &cookies,
                                                                    .responseHeaders = &headers,
                                                                    .location = &location,
                                                                    .statusText = &status,
                                                                    .responseBytes = &bytes});
    EXPECT_EQ(page, "<html>\xD6\xD0</html>");
    EXPECT_EQ(status, "200 OK");
    EXPECT_EQ(cookies, "sid=7");
    EXPECT_EQ(location, "kept");
    EXPECT_TRUE(headers.starts_with("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(headers.ends_with("\r\n\r\n"));
    EXPECT_EQ(bytes.size(), 15U);
    // Nine steps, one per header line (status, Set-Cookie, Content-Length, blank), and the charset step.
    EXPECT_EQ(counter.pumps(), 9 + 4 + 1);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1U);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/page?id=1");  // the fragment never goes on the wire
    std::vector<std::string> names;
    for (const auto& [name, value] : request.headers) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Host", "User-Agent", "Accept", "Accept-Encoding", "Accept-Language",
                                               "Cache-Control"}));
    EXPECT_EQ(request.header("Accept-Encoding"), "gbk, GB2312");
    EXPECT_EQ(apartmentCount(), 0);
}

TEST(WinHttpFetchTest, QueryRightAfterHostIsKept) {
    ScriptedHttpServer server;
    server.setDefaultReply(respond(200, {}, "x"));
    EXPECT_EQ(WinHttpFetch("http://" + server.authority() + "?x=1"), "x");
    EXPECT_EQ(server.requests().at(0).target, "/?x=1");
}

TEST(WinHttpFetchTest, PostBodyAndVerbsAndServerCredentials) {
    ScriptedHttpServer server;
    server.setDefaultReply(respond(200, {}, "ok"));
    EXPECT_EQ(WinHttpFetch(server.url("/form"), {.method = 1, .bodyText = "a=1&b=2", .serverUser = "user",
                                                 .serverPassword = "pass"}),
              "ok");
    EXPECT_EQ(WinHttpFetch(server.url("/get"), {.method = 0, .bodyText = "raw"}), "ok");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, "a=1&b=2");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(requests[0].header("Authorization"), "Basic dXNlcjpwYXNz");
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].body, "raw");
    EXPECT_EQ(requests[1].header("Content-Type"), std::nullopt);
}

TEST(WinHttpFetchTest, CallerHeaderLinesReplaceDefaultsAndMalformedLinesAreRefused) {
    ScriptedHttpServer server;
    server.setDefaultReply(respond(200, {}, "ok"));
    // The caller's lower-case content-type does not stop the default line, which then replaces it.
    EXPECT_EQ(WinHttpFetch(server.url("/"), {.method = 1, .headers = "content-type: text/plain\r\nX-Id: 7"}), "ok");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(requests[0].header("X-Id"), "7");

    Text status;
    const PumpCounter counter;
    EXPECT_EQ(WinHttpFetch(server.url("/"), {.headers = "not a header line", .statusText = &status}), "");
    EXPECT_EQ(status, message(u"710 设置协议头失败!"));
    EXPECT_EQ(counter.pumps(), 6);
    EXPECT_EQ(server.requests().size(), 1U);
}

TEST(WinHttpFetchTest, RedirectSwitchedOffReturnsTheRedirect) {
    ScriptedHttpServer server;
    server.route("/old", Reply{}.send(responseHead(302, {{"Location", "/new"}, {"Content-Length", "5"}}) + "moved"));
    Text status, location;
    EXPECT_EQ(WinHttpFetch(server.url("/old"), {.noRedirect = true, .location = &location, .statusText = &status}),
              "moved");
    EXPECT_EQ(status, "302 Found");
    EXPECT_EQ(location, "/new");
    EXPECT_EQ(server.requests().size(), 1U);
}

TEST(WinHttpFetchTest, CookiesOfARedirectTravelOnlyWhenCookiesArePassed) {
    ScriptedHttpServer server;
    server.route("/login", redirectTo("/home", 302, {{"Set-Cookie", "hop=1; Path=/"}}));
    server.route("/home", respond(200, {{"Set-Cookie", "b=3"}}, "home"));

    Text cookies = "a=1; b=2";
    Text returned;
    EXPECT_EQ(WinHttpFetch(server.url("/login"), {.cookies = &cookies, .returnedCookies = &returned}), "home");
    EXPECT_EQ(returned, "b=3; a=1");  // only the final response's cookies, merged
    EXPECT_EQ(cookies, "b=3; a=1");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].header("Cookie"), "a=1; b=2");
    EXPECT_NE(requests[1].header("Cookie").value_or("").find("hop=1"), std::string::npos);

    Text noMerge = "a=1";
    Text onlyResponse;
    EXPECT_EQ(WinHttpFetch(server.url("/home"),
                           {.cookies = &noMerge, .returnedCookies = &onlyResponse, .mergeCookies = false}),
              "home");
    EXPECT_EQ(onlyResponse, "b=3");
    EXPECT_EQ(noMerge, "a=1");

    Text withoutCookies;
    EXPECT_EQ(WinHttpFetch(server.url("/login"), {.returnedCookies = &withoutCookies}), "home");
    requests = server.requests();
    ASSERT_EQ(requests.size(), 5U);
    EXPECT_EQ(requests[4].header("Cookie"), std::nullopt);  // the engine's cookies were switched off
    EXPECT_EQ(withoutCookies, "b=3");
}

TEST(WinHttpFetchTest, ZeroByteEmptyBodiesAndErrorStatuses) {
    ScriptedHttpServer server;
    server.route("/zero", respond(200, {}, std::string("ab\0cd", 5)));
    server.route("/none", respond(204));
    server.route("/missing", respond(404, {}, "not here"));
    server.setDefaultReply(respond(200, {}, "body of a HEAD is never read"));

    ByteSet bytes;
    Text status;
    EXPECT_EQ(WinHttpFetch(server.url("/zero"), {.responseBytes = &bytes}), "ab");
    EXPECT_EQ(bytes, (ByteSet{'a', 'b', 0, 'c', 'd'}));

    bytes = {1};
    EXPECT_EQ(WinHttpFetch(server.url("/none"), {.statusText = &status, .responseBytes = &bytes}), "");
    EXPECT_EQ(status, "204 No Content");
    EXPECT_TRUE(bytes.empty());

    EXPECT_EQ(WinHttpFetch(server.url("/head"), {.method = 2, .statusText = &status, .responseBytes = &bytes}), "");
    EXPECT_EQ(status, "200 OK");
    EXPECT_TRUE(bytes.empty());

    EXPECT_EQ(WinHttpFetch(server.url("/missing"), {.statusText = &status}), "not here");
    EXPECT_EQ(status, "404 Not Found");
}

TEST(WinHttpFetchTest, ReadFailureKeepsWhatArrivedAndStatusReplacesTheMessage) {
    ScriptedHttpServer server;
    server.setDefaultReply(Reply{}.send(responseHead(200, {{"Content-Length", "100"}}) + "partial").close());
    FailingWinHttpApi api;
    Text status;
    ByteSet bytes;
    EXPECT_EQ(winHttpFetchWith(api, server.url("/"), {.statusText = &status, .responseBytes = &bytes}), "partial");
    EXPECT_EQ(api.failedReads, 1);
    EXPECT_EQ(status, "200 OK");
    EXPECT_EQ(bytes.size(), 7U);

    FailingWinHttpApi noHeaders("QueryHeaders", 2);
    Text headers = "untouched";
    EXPECT_EQ(winHttpFetchWith(noHeaders, server.url("/"), {.responseHeaders = &headers, .statusText = &status}), "");
    EXPECT_EQ(status, message(u"713 读取数据失败!"));
    EXPECT_EQ(headers, "untouched");
}

TEST(WinHttpFetchTest, NetworkFailuresByPhase) {
    Text status;
    // Nothing listens on the discard port of loopback.
    EXPECT_EQ(WinHttpFetch("http://127.0.0.1:9/", {.statusText = &status}), "");
    EXPECT_EQ(status, message(u"711 发送请求失败!"));

    ScriptedHttpServer closing;
    closing.setDefaultReply(Reply{}.close());
    EXPECT_EQ(WinHttpFetch(closing.url("/"), {.statusText = &status}), "");
    EXPECT_EQ(status, message(u"712 服务器未响应!"));

    ScriptedHttpServer slow;
    slow.setDefaultReply(Reply{}.wait(2500ms).send(testing_support::responseBytes(200, {}, "late")));
    EXPECT_EQ(WinHttpFetch(slow.url("/"), {.timeoutSeconds = 1, .statusText = &status}), "");
    EXPECT_EQ(status, message(u"712 服务器未响应!"));

    ScriptedHttpServer selfSigned({.tls = true});
    selfSigned.setDefaultReply(respond(200, {}, "secret"));
    EXPECT_EQ(WinHttpFetch(selfSigned.url("/"), {.statusText = &status}), "");
    EXPECT_EQ(status, message(u"711 发送请求失败!"));
}

TEST(WinHttpFetchTest, PlainAddressGoesThroughTheProxyAsHttpEntry) {
    ScriptedHttpServer proxy;
    proxy.setDefaultReply(respond(200, {}, "via proxy"));
    EXPECT_EQ(WinHttpFetch("http://songs.example/play?s=1",
                           {.proxy = proxy.authority(), .proxyUser = "pu", .proxyPassword = "pp"}),
              "via proxy");
    ASSERT_EQ(proxy.requests().size(), 1U);
    EXPECT_EQ(proxy.requests()[0].target, "http://songs.example/play?s=1");
    EXPECT_EQ(proxy.requests()[0].header("Proxy-Authorization"), "Basic cHU6cHA=");
}

// ---- Hostile pages ----

// Memory that runs out anywhere on the page path ends the fetch like a failed read: an empty page,
// message 713, every handle closed and the apartment released; nothing is thrown.
TEST(WinHttpFetchHostileTest, AllocationFailureAnywhereEndsAsAFailedRead) {
    ScriptedHttpServer server;
    server.setDefaultReply(respond(200, {}, "<meta charset=utf-8>\"playurl\":\"m\""));
    for (const char* call : {"SendRequest", "QueryDataAvailable", "ReadData", "QueryHeaders"}) {
        FailingWinHttpApi api(call);
        api.throwsBadAlloc = true;
        Text status;
        EXPECT_EQ(winHttpFetchWith(api, server.url("/page"), {.statusText = &status}), "") << call;
        EXPECT_EQ(status, message(u"713 读取数据失败!")) << call;
        EXPECT_EQ(api.closed, (std::vector<std::string>{"request", "connection", "root"})) << call;
        EXPECT_EQ(apartmentCount(), 0) << call;
    }

    // In the charset step: the conversion runs out of memory.
    auto log = std::make_shared<testing_support::RecordingComponent::Log>();
    const ScopedComponent stream(
        "Adodb.Stream",
        testing_support::RecordingComponent::factory(
            log, [](testing_support::RecordingComponent::Kind, const std::string& name,
                    AutomationArguments) -> std::optional<AutomationValue> {
                if (name == "ReadText") {
                    throw std::bad_alloc();
                }
                return AutomationValue{};
            }));
    Text status;
    EXPECT_EQ(WinHttpFetch(server.url("/page"), {.statusText = &status}), "");
    EXPECT_EQ(status, message(u"713 读取数据失败!"));
    EXPECT_EQ(apartmentCount(), 0);
}

// A body past the limit ends as a failed read (decision 12): what arrived first is the page, and
// the status text of the headers replaces the read-failure message.
TEST(WinHttpFetchHostileTest, EndlessPageKeepsItsFirstBytesUpToTheLimit) {
    ScriptedHttpServer server;
    const std::string start = "\"playurl\":\"http://m/1\",\"song_name\":\"s\",\"nick\":\"n\"";
    server.setDefaultReply(Reply{}.send(responseHead(200) + start).repeat(std::string(64 * 1024, ' ')));
    constexpr std::uint64_t kLimit = 1 << 20;
    FailingWinHttpApi api({}, 1, kLimit);
    Text status;
    ByteSet bytes;
    const Text page = winHttpFetchWith(api, server.url("/endless"), {.statusText = &status, .responseBytes = &bytes});
    EXPECT_EQ(page.size(), kLimit);
    EXPECT_TRUE(page.starts_with(start));
    EXPECT_EQ(bytes.size(), kLimit);
    EXPECT_EQ(api.failedReads, 1);
    EXPECT_EQ(status, "200 OK");
    EXPECT_EQ(kMaxPageBodyBytes, std::uint64_t{64} << 20);
}

// An address holding CR LF cannot add header lines: it goes on the wire percent-escaped.
TEST(WinHttpFetchHostileTest, LineBreaksInTheAddressStayInTheTarget) {
    ScriptedHttpServer server;
    server.setDefaultReply(respond(200, {}, "ok"));
    EXPECT_EQ(WinHttpFetch(server.url("/media?x\r\nX-Injected: yes\r\nHost: injected.example")), "ok");
    ASSERT_EQ(server.requests().size(), 1u);
    const auto request = server.requests().front();
    EXPECT_EQ(request.target, "/media?x%0D%0AX-Injected:%20yes%0D%0AHost:%20injected.example");
    EXPECT_FALSE(request.header("X-Injected").has_value());
    EXPECT_EQ(request.header("Host"), server.authority());
}

// An empty port is the scheme's own port, as the address syntax has it.
TEST(WinHttpFetchHostileTest, EmptyPortIsTheSchemesDefault) {
    const std::unique_ptr<WinHttpApi> api = makeEngineWinHttpApi();
    for (const auto& [url, port] : std::vector<std::pair<std::string, int>>{
             {"http://h:/a", 80}, {"https://h:/a", 443}, {"http://h:?q", 80}, {"http://h:8080/a", 8080}}) {
        UrlComponents parts;
        ASSERT_TRUE(api->WinHttpCrackUrl(TextToUtf16(url), parts)) << url;
        EXPECT_EQ(parts.port, port) << url;
        EXPECT_EQ(parts.host.length, 1u) << url;
    }
    UrlComponents parts;
    EXPECT_FALSE(api->WinHttpCrackUrl(TextToUtf16("http://:/a"), parts));
}

}  // namespace
}  // namespace tarlowen
