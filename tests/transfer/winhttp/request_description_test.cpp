#include "transfer/winhttp/request_description.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/case_name.hpp"

namespace tarlowen {
namespace {

using testing_support::PrintTo;

constexpr char kUserAgent[] = "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)\r\n";
constexpr char kAccept[] = "Accept: text/html, application/xhtml+xml, */*\r\n";
constexpr char kEncoding[] = "Accept-Encoding: gbk, GB2312\r\n";
constexpr char kLanguage[] = "Accept-Language: zh-cn\r\n";
constexpr char kForm[] = "Content-Type: application/x-www-form-urlencoded\r\n";
constexpr char kNoCache[] = "Cache-Control: no-cache\r\n";

const std::string kDefaults = std::string(kUserAgent) + kAccept + kEncoding + kLanguage + kNoCache;

struct BlockCase {
    const char* name;
    std::string headers;
    int method;
    std::optional<std::string> cookies;
    std::string expected;
};

class HeaderBlockTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(HeaderBlockTest, AppendsMissingDefaultsInOrder) {
    const BlockCase& c = GetParam();
    const Text cookies = c.cookies.value_or("");
    EXPECT_EQ(BuildHeaderBlock(c.headers, c.method, c.cookies ? &cookies : nullptr), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderBlockTest,
    ::testing::Values(
        BlockCase{"defaultsOnly", "", 0, std::nullopt, kDefaults},
        BlockCase{"userAgentFoundIgnoringCase", "user-agent: A", 0, std::nullopt,
                  std::string("user-agent: A\r\n") + kAccept + kEncoding + kLanguage + kNoCache},
        BlockCase{"searchCoversWholeBlock", "X-Accept: 1", 0, std::nullopt,
                  std::string("X-Accept: 1\r\n") + kUserAgent + kEncoding + kLanguage + kNoCache},
        BlockCase{"postLowerCaseContentTypeStillGetsDefault", "content-type: text/plain", 1, std::nullopt,
                  std::string("content-type: text/plain\r\n") + kUserAgent + kAccept + kEncoding + kLanguage +
                      kForm + kNoCache},
        BlockCase{"postContentTypeWithoutSpaceKept", "Content-Type:text/plain", 1, std::nullopt,
                  std::string("Content-Type:text/plain\r\n") + kUserAgent + kAccept + kEncoding + kLanguage +
                      kNoCache},
        BlockCase{"getNeverGetsContentType", "", 0, std::nullopt, kDefaults},
        BlockCase{"cookieLine", "", 0, "a=1", kDefaults + "Cookie: a=1\r\n"},
        BlockCase{"emptyCookiesNoLine", "", 0, "", kDefaults},
        BlockCase{"callerCookieLineWins", "cookie: b=2", 0, "a=1",
                  std::string("cookie: b=2\r\n") + kUserAgent + kAccept + kEncoding + kLanguage + kNoCache},
        BlockCase{"callerLinesEndingInCrLfGetAnEmptyLine", "X-A: 1\r\n", 0, std::nullopt,
                  "X-A: 1\r\n\r\n" + kDefaults}),
    testing_support::CaseName{});

TEST(RequestDescriptionTest, VerbsProxyAndTimeLimit) {
    const char* const verbs[] = {"GET", "POST", "HEAD", "PUT", "OPTIONS", "DELETE", "TRACE", "CONNECT"};
    for (int method = 0; method < 8; ++method) {
        EXPECT_EQ(VerbForMethod(method), verbs[method]);
    }
    EXPECT_EQ(VerbForMethod(8), "GET");
    EXPECT_EQ(VerbForMethod(-1), "GET");

    EXPECT_EQ(ProxyList("", true), "");
    EXPECT_EQ(ProxyList("p:8080", true), "p:8080");
    EXPECT_EQ(ProxyList("p:8080", false), "http=p:8080");

    EXPECT_EQ(TimeLimitMs(0), 30000);
    EXPECT_EQ(TimeLimitMs(-5), 30000);
    EXPECT_EQ(TimeLimitMs(5), 5000);
    EXPECT_GT(TimeLimitMs(2147483647), 0);  // no overflow into a negative limit
}

}  // namespace
}  // namespace tarlowen
