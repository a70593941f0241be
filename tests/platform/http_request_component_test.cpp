#include "platform/components/http_request_component.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/apartment.hpp"
#include "platform/automation.hpp"
#include "platform/automation_component.hpp"
#include "support/case_name.hpp"
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

constexpr std::int32_t kIgnoreAll = 0x3300;

std::string text(const ByteSet& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A request object made through the registry, as callers make it, inside its own apartment.
class HttpRequestComponentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitialize();
        ASSERT_TRUE(CreateAutomationObject(m_request, "winhttp.winhttprequest.5.1"));
        // Limits a loaded machine never trips; tests about limits set their own.
        InvokeMethod(m_request, "SetTimeouts", {5000, 5000, 5000, 5000});
    }
    void TearDown() override {
        ReleaseObject(m_request);
        CoUninitialize();
    }

    [[nodiscard]] bool succeeds(std::string_view name,
                                std::initializer_list<AutomationValue> arguments = {}) {
        AutomationComponent* component = m_request.component();
        return component->invokeMethod(name, AutomationArguments(arguments.begin(), arguments.size()))
            .has_value();
    }

    // Open and Send without a body; true when Send succeeded.
    [[nodiscard]] bool get(const std::string& url) {
        return succeeds("Open", {"GET", url, false}) && succeeds("Send");
    }

    AutomationObject m_request;
};

// ---- calls the component refuses --------------------------------------------------------------------

struct RefusalCase {
    const char* name;
    std::function<bool(AutomationComponent&)> call;  // true when the call succeeded
};

class HttpRequestRefusalTest : public HttpRequestComponentTest,
                               public ::testing::WithParamInterface<RefusalCase> {};

bool method(AutomationComponent& component, std::string_view name, std::vector<AutomationValue> arguments) {
    return component.invokeMethod(name, arguments).has_value();
}

bool openFirst(AutomationComponent& component) {
    return method(component, "Open", {"GET", "http://127.0.0.1:9/", false});
}

TEST_P(HttpRequestRefusalTest, CallFails) {
    EXPECT_FALSE(GetParam().call(*m_request.component()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpRequestRefusalTest,
    ::testing::Values(
        RefusalCase{"headerWithEmptyName",
                    [](auto& c) {
                        return method(c, "SetRequestHeader", {"", ""});
                    }},
        RefusalCase{"headerNameWithSpace",
                    [](auto& c) {
                        return method(c, "SetRequestHeader", {"X A", "1"});
                    }},
        RefusalCase{"headerNameWithColon",
                    [](auto& c) {
                        return method(c, "SetRequestHeader", {"X:", "1"});
                    }},
        RefusalCase{"headerValueWithLineBreak",
                    [](auto& c) {
                        return method(c, "SetRequestHeader", {"X-A", "1\r\nX-B: 2"});
                    }},
        RefusalCase{"asyncOpen",
                    [](auto& c) {
                        return method(c, "Open", {"GET", "http://127.0.0.1:9/", true});
                    }},
        RefusalCase{"openWithoutAddress", [](auto& c) { return method(c, "Open", {"GET"}); }},
        RefusalCase{"openOtherScheme",
                    [](auto& c) {
                        return method(c, "Open", {"GET", "ftp://127.0.0.1/", false});
                    }},
        RefusalCase{"sendBeforeOpen", [](auto& c) { return method(c, "Send", {}); }},
        RefusalCase{"sendNumberBody",
                    [](auto& c) { return openFirst(c) && method(c, "Send", {std::int32_t{5}}); }},
        RefusalCase{"timeoutsBelowMinusOne",
                    [](auto& c) {
                        return method(c, "SetTimeouts", {-2, 0, 0, 0});
                    }},
        RefusalCase{"timeoutsTooFew",
                    [](auto& c) {
                        return method(c, "SetTimeouts", {1, 1, 1});
                    }},
        RefusalCase{"namedProxyWithoutServer", [](auto& c) { return method(c, "SetProxy", {2}); }},
        RefusalCase{"namedProxyWithBypassList",
                    [](auto& c) {
                        return method(c, "SetProxy", {2, "127.0.0.1:8080", "*.local"});
                    }},
        RefusalCase{"unknownProxySetting",
                    [](auto& c) {
                        return method(c, "SetProxy", {3, "127.0.0.1:8080"});
                    }},
        RefusalCase{"statusBeforeSend", [](auto& c) { return c.readProperty("Status", {}).has_value(); }},
        RefusalCase{"headersBeforeSend",
                    [](auto& c) { return c.readProperty("GetAllResponseHeaders", {}).has_value(); }},
        RefusalCase{"bodyBeforeSend", [](auto& c) { return c.readProperty("ResponseBody", {}).has_value(); }},
        RefusalCase{"unknownOption",
                    [](auto& c) {
                        const AutomationValue index[] = {std::int32_t{5}};
                        return c.writeProperty("Option", index, std::int32_t{1});
                    }},
        RefusalCase{"certificateFlagOutsideTheKnownOnes",
                    [](auto& c) {
                        const AutomationValue index[] = {std::int32_t{4}};
                        return c.writeProperty("Option", index, std::int32_t{0x0080});
                    }}),
    testing_support::CaseName{});

TEST_F(HttpRequestComponentTest, OptionsReadBackAsWritten) {
    EXPECT_EQ(AsNumber(ReadProperty(m_request, "Option", {4})), 0);
    EXPECT_EQ(AsText(ReadProperty(m_request, "Option", {6})), "-1");
    EXPECT_TRUE(WriteProperty(m_request, "Option", {4}, kIgnoreAll));
    EXPECT_TRUE(WriteProperty(m_request, "Option", {6}, std::int32_t{0}));
    EXPECT_EQ(AsNumber(ReadProperty(m_request, "Option", {4})), kIgnoreAll);
    EXPECT_EQ(AsText(ReadProperty(m_request, "Option", {6})), "0");
}

// ---- exchanges ----------------------------------------------------------------------------------------

TEST_F(HttpRequestComponentTest, BinaryBodyHeaderLinesAndStatus) {
    std::string media;
    for (int i = 0; i < 512; ++i) {
        media.push_back(static_cast<char>(255 - i % 256));
    }
    ScriptedHttpServer server;
    server.route("/m", respond(206, {{"Content-Type", "audio/mp4"}, {"X-Empty", ""}}, media));

    ASSERT_TRUE(get(server.url("/m")));

    EXPECT_EQ(AsNumber(ReadProperty(m_request, "Status")), 206);
    // No status line; every line ends in CRLF and the block ends in an empty line.
    EXPECT_EQ(AsText(ReadProperty(m_request, "GetAllResponseHeaders")),
              "Content-Type: audio/mp4\r\nX-Empty: \r\nContent-Length: 512\r\n\r\n");
    EXPECT_EQ(text(AsByteSet(ReadProperty(m_request, "ResponseBody"))), media);
}

// The body is handed over by move, so the component holds no copy of it afterwards.
TEST_F(HttpRequestComponentTest, BodyIsHandedOutOnce) {
    ScriptedHttpServer server;
    server.route("/m", respond(200, {}, "once"));
    ASSERT_TRUE(get(server.url("/m")));

    EXPECT_EQ(text(AsByteSet(ReadProperty(m_request, "ResponseBody"))), "once");
    EXPECT_TRUE(ReadProperty(m_request, "ResponseBody").isEmpty());
    EXPECT_EQ(AsNumber(ReadProperty(m_request, "Status")), 200);

    // The next exchange brings the next body.
    ASSERT_TRUE(get(server.url("/m")));
    EXPECT_EQ(text(AsByteSet(ReadProperty(m_request, "ResponseBody"))), "once");
}

TEST_F(HttpRequestComponentTest, FailedSendLeavesNothingToRead) {
    ScriptedHttpServer server;
    server.route("/ok", respond(200, {}, "earlier"));
    // Headers, then a body cut short: the bytes that did arrive are not handed out either.
    server.route("/cut", Reply{}.send(responseHead(200, {{"Content-Length", "10"}}) + "abc").close());
    ASSERT_TRUE(get(server.url("/ok")));

    EXPECT_FALSE(get(server.url("/cut")));

    EXPECT_TRUE(ReadProperty(m_request, "Status").isEmpty());
    EXPECT_TRUE(ReadProperty(m_request, "GetAllResponseHeaders").isEmpty());
    EXPECT_TRUE(ReadProperty(m_request, "ResponseBody").isEmpty());
}

// The native channel: the body of the next Send goes to the sink as it arrives, the component keeps
// none of it, and everything else reads as usual.
TEST_F(HttpRequestComponentTest, SinkTakesTheBodyOfTheNextSendOnly) {
    const std::string media(300 * 1024, 'm');
    ScriptedHttpServer server;
    server.route("/m", respond(200, {{"Content-Type", "audio/mp4"}}, media));
    std::string received;
    std::vector<std::optional<std::uint64_t>> lengths;
    std::vector<int> statuses;
    ASSERT_TRUE(setResponseBodySink(m_request, [&](const HttpBodyPiece& piece) {
        received.append(piece.bytes.begin(), piece.bytes.end());
        lengths.push_back(piece.contentLength);
        statuses.push_back(piece.status);
        return true;
    }));

    ASSERT_TRUE(get(server.url("/m")));

    EXPECT_TRUE(received == media) << received.size() << " bytes received";
    EXPECT_EQ(lengths.front(), media.size());
    EXPECT_EQ(statuses.front(), 200);
    EXPECT_EQ(AsNumber(ReadProperty(m_request, "Status")), 200);
    EXPECT_EQ(AsText(ReadProperty(m_request, "GetAllResponseHeaders")),
              "Content-Type: audio/mp4\r\nContent-Length: " + std::to_string(media.size()) + "\r\n\r\n");
    const AutomationValue body = ReadProperty(m_request, "ResponseBody");
    EXPECT_FALSE(body.isEmpty());
    EXPECT_TRUE(AsByteSet(body).empty());

    // Used up: the next Send collects its body again.
    received.clear();
    ASSERT_TRUE(get(server.url("/m")));
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(AsByteSet(ReadProperty(m_request, "ResponseBody")).size(), media.size());
}

TEST_F(HttpRequestComponentTest, SinkThatRefusesOrThrowsFailsTheSend) {
    ScriptedHttpServer server;
    server.setDefaultReply(respond(200, {}, std::string(100000, 'x')));
    for (const HttpBodySink& sink : {HttpBodySink([](const HttpBodyPiece&) { return false; }),
                                     HttpBodySink([](const HttpBodyPiece&) -> bool { throw std::bad_alloc(); })}) {
        ASSERT_TRUE(setResponseBodySink(m_request, sink));
        EXPECT_FALSE(get(server.url("/m")));
        EXPECT_TRUE(ReadProperty(m_request, "Status").isEmpty());
        EXPECT_TRUE(ReadProperty(m_request, "ResponseBody").isEmpty());
    }
    // Only this component has the channel.
    EXPECT_FALSE(setResponseBodySink(AutomationObject{}, [](const HttpBodyPiece&) { return true; }));
}

TEST_F(HttpRequestComponentTest, HeadersSetBeforeOpenGoWithTheNextRequestOnly) {
    ScriptedHttpServer server;
    server.setDefaultReply(respond(200, {}, ""));
    ASSERT_TRUE(succeeds("SetRequestHeader", {"X-Early", "before open"}));
    ASSERT_TRUE(succeeds("Open", {"GET", server.url("/one"), false}));
    ASSERT_TRUE(succeeds("SetRequestHeader", {"x-late", "1"}));
    ASSERT_TRUE(succeeds("SetRequestHeader", {"X-Late", "2"}));  // the same name replaces the value
    ASSERT_TRUE(succeeds("Send"));
    ASSERT_TRUE(get(server.url("/two")));

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].head(), "GET /one HTTP/1.1\r\nHost: " + server.authority() +
                                      "\r\nX-Early: before open\r\nx-late: 2\r\n\r\n");
    EXPECT_EQ(requests[1].head(), "GET /two HTTP/1.1\r\nHost: " + server.authority() + "\r\n\r\n");
}

struct BodyCase {
    const char* name;
    AutomationValue body;
    std::string onTheWire;
};

class HttpRequestBodyTest : public HttpRequestComponentTest,
                            public ::testing::WithParamInterface<BodyCase> {};

TEST_P(HttpRequestBodyTest, BodyGoesOutAsGiven) {
    ScriptedHttpServer server;
    server.setDefaultReply(respond(200, {}, ""));
    ASSERT_TRUE(succeeds("Open", {"PUT", server.url("/up"), false}));
    ASSERT_TRUE(succeeds("Send", {GetParam().body}));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].method, "PUT");
    EXPECT_EQ(server.requests()[0].body, GetParam().onTheWire);
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpRequestBodyTest,
                         ::testing::Values(
                             // "中文" in code page 936 goes out as UTF-8.
                             BodyCase{"textAsUtf8", AutomationValue("\xD6\xD0\xCE\xC4 a=1"),
                                      "\xE4\xB8\xAD\xE6\x96\x87 a=1"},
                             BodyCase{"lonelySurrogateBecomesReplacement",
                                      AutomationValue(std::u16string(u"a\xD800z")), "a\xEF\xBF\xBDz"},
                             BodyCase{"bytesVerbatim", AutomationValue(ByteSet{0, 0xFF, '\r', '\n', 0}),
                                      std::string("\0\xFF\r\n\0", 5)},
                             BodyCase{"emptyValueIsNoBody", AutomationValue(), ""}),
                         testing_support::CaseName{});

TEST_F(HttpRequestComponentTest, NonAsciiAddressGoesOutPercentEncodedAsUtf8) {
    ScriptedHttpServer server;
    server.setDefaultReply(respond(200, {}, ""));
    ASSERT_TRUE(get(server.url("/\xB8\xE8?q=\xD6\xD0")));  // "歌" and "中" in code page 936
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/%E6%AD%8C?q=%E4%B8%AD");
}

TEST_F(HttpRequestComponentTest, RedirectsFollowedUnlessSwitchedOff) {
    ScriptedHttpServer server;
    server.route("/old", redirectTo("/new", 302, {{"Set-Cookie", "hop=1"}}));
    server.route("/new", respond(200, {}, "new"));

    ASSERT_TRUE(get(server.url("/old")));
    EXPECT_EQ(AsNumber(ReadProperty(m_request, "Status")), 200);
    EXPECT_EQ(text(AsByteSet(ReadProperty(m_request, "ResponseBody"))), "new");
    // A cookie set on the way travels with the followed request.
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].header("Cookie"), "hop=1");

    ASSERT_TRUE(succeeds("Open", {"GET", server.url("/old"), false}));
    ASSERT_TRUE(WriteProperty(m_request, "Option", {6}, std::int32_t{0}));
    ASSERT_TRUE(succeeds("Send"));
    EXPECT_EQ(AsNumber(ReadProperty(m_request, "Status")), 302);
    EXPECT_EQ(server.requests().size(), 3u);
    // Nothing carries over from one exchange to the next.
    EXPECT_EQ(server.requests()[2].header("Cookie"), std::nullopt);
}

TEST_F(HttpRequestComponentTest, SelfSignedCertificatePassesOnlyWithEveryErrorIgnored) {
    ScriptedHttpServer server({.tls = true});
    server.setDefaultReply(respond(200, {}, "secure"));

    EXPECT_FALSE(get(server.url("/")));
    ASSERT_TRUE(WriteProperty(m_request, "Option", {4}, std::int32_t{0x0100}));
    EXPECT_FALSE(get(server.url("/")));
    ASSERT_TRUE(WriteProperty(m_request, "Option", {4}, kIgnoreAll));
    ASSERT_TRUE(get(server.url("/")));
    EXPECT_EQ(text(AsByteSet(ReadProperty(m_request, "ResponseBody"))), "secure");
}

// Basic proxy credentials given as a header reach the proxy on a plain request and on the CONNECT of
// a tunnel; the origin behind the tunnel never sees them. Other values go out as ordinary headers.
TEST_F(HttpRequestComponentTest, ProxyAuthorizationHeaderReachesTheProxy) {
    ScriptedHttpServer origin;
    ScriptedHttpServer secureOrigin({.tls = true});
    ScriptedHttpServer proxy;
    secureOrigin.setDefaultReply(respond(200, {}, "origin"));
    proxy.tunnelConnects();
    proxy.setDefaultReply(respond(200, {}, "proxy"));
    ASSERT_TRUE(succeeds("SetProxy", {2, proxy.authority()}));
    ASSERT_TRUE(WriteProperty(m_request, "Option", {4}, kIgnoreAll));

    for (const std::string& url : {origin.url("/a"), secureOrigin.url("/b")}) {
        ASSERT_TRUE(succeeds("SetRequestHeader", {"Proxy-Authorization", "Basic dTpwOnE="}));  // u:p:q
        ASSERT_TRUE(get(url)) << url;
    }
    ASSERT_TRUE(succeeds("SetRequestHeader", {"Proxy-Authorization", "Negotiate abc"}));
    ASSERT_TRUE(get(origin.url("/c")));

    const auto atProxy = proxy.requests();
    ASSERT_EQ(atProxy.size(), 3u);
    EXPECT_EQ(atProxy[0].target, origin.url("/a"));
    EXPECT_EQ(atProxy[0].header("Proxy-Authorization"), "Basic dTpwOnE=");
    EXPECT_EQ(atProxy[1].method, "CONNECT");
    EXPECT_EQ(atProxy[1].header("Proxy-Authorization"), "Basic dTpwOnE=");
    EXPECT_EQ(atProxy[2].header("Proxy-Authorization"), "Negotiate abc");
    ASSERT_EQ(secureOrigin.requests().size(), 1u);
    EXPECT_EQ(secureOrigin.requests()[0].header("Proxy-Authorization"), std::nullopt);

    // Setting 1 goes direct again.
    ASSERT_TRUE(succeeds("SetProxy", {1}));
    ASSERT_TRUE(get(secureOrigin.url("/d")));
    EXPECT_EQ(proxy.requests().size(), 3u);
    EXPECT_EQ(secureOrigin.requests().size(), 2u);
}

TEST_F(HttpRequestComponentTest, ReceiveLimitEndsAStalledExchange) {
    ScriptedHttpServer server;
    server.setDefaultReply(Reply{}.stall());
    ASSERT_TRUE(succeeds("SetTimeouts", {5000, 5000, 5000, 200}));
    EXPECT_FALSE(get(server.url("/")));
}

}  // namespace
}  // namespace tarlowen
