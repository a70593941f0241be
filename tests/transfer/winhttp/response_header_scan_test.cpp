#include "transfer/winhttp/response_header_scan.hpp"

#include <gtest/gtest.h>

#include <string>

#include "platform/message_pump.hpp"
#include "support/case_name.hpp"

namespace tarlowen {
namespace {

using testing_support::PrintTo;

struct ScanCase {
    const char* name;
    std::string block;
    std::string status;
    std::string cookies;
    std::string location;  // "(kept)" when the caller's value must stay
};

class ScanResponseHeadersTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanResponseHeadersTest, ReadsStatusCookiesAndLocation) {
    const ScanCase& c = GetParam();
    Text status = "stale";
    Text cookies = "stale";
    Text location = "(kept)";
    ScanResponseHeaders(c.block, status, cookies, location);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(cookies, c.cookies);
    EXPECT_EQ(location, c.location);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanResponseHeadersTest,
    ::testing::Values(
        ScanCase{"statusFound", "HTTP/1.1 302 Found\r\nLocation: /next\r\n\r\n", "302 Found", "", "/next"},
        ScanCase{"shortBlock", "HTTP/1.1", "", "", "(kept)"},
        ScanCase{"noLineEnd", "HTTP/1.1 200 OK", "", "", "(kept)"},
        ScanCase{"emptyBlock", "", "", "", "(kept)"},
        ScanCase{"cookieAttributesDropped",
                 "HTTP/1.1 200 OK\r\nSet-Cookie: a=1; Path=/\r\nSet-Cookie: b=2\r\nSet-Cookie: c=3;\r\n\r\n", "200 OK",
                 "a=1; b=2; c=3", "(kept)"},
        ScanCase{"nameComparesCase", "HTTP/1.1 200 OK\r\nset-cookie: a=1\r\n\r\n", "200 OK", "", "(kept)"},
        ScanCase{"twoSpacesAfterColon", "HTTP/1.1 200 OK\r\nSet-Cookie:  a=1\r\n\r\n", "200 OK", "a=1", "(kept)"},
        ScanCase{"noSpaceAfterColonNotACookieLine", "HTTP/1.1 200 OK\r\nSet-Cookie:a=1\r\n\r\n", "200 OK", "",
                 "(kept)"},
        ScanCase{"duplicatesKept", "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nSet-Cookie: a=2\r\n\r\n", "200 OK",
                 "a=1; a=2", "(kept)"},
        ScanCase{"locationIgnoresCase", "HTTP/1.1 301 Moved\r\nlocation: /next\r\n\r\n", "301 Moved", "", "/next"},
        ScanCase{"locationWithoutSpaceNotRecognised", "HTTP/1.1 301 Moved\r\nLocation:/next\r\n\r\n", "301 Moved",
                 "", "(kept)"},
        ScanCase{"laterLocationWins", "HTTP/1.1 301 M\r\nLocation: /a\r\nLocation: /b\r\n\r\n", "301 M", "", "/b"},
        ScanCase{"emptyLocationValue", "HTTP/1.1 301 M\r\nLocation: \r\n\r\n", "301 M", "", ""},
        ScanCase{"ideographicSpacesTrimmedTabsKept",
                 "HTTP/1.1 200 OK\r\nSet-Cookie: \xA1\xA1" "a=1\t\r\n\r\n", "200 OK", "a=1\t", "(kept)"}),
    testing_support::CaseName{});

TEST(ScanResponseHeadersPumpTest, PumpsOncePerLine) {
    int pumps = 0;
    setMessagePumpHandler([&] { ++pumps; });
    Text status;
    Text cookies;
    Text location;
    ScanResponseHeaders("HTTP/1.1 200 OK\r\nA: 1\r\n\r\nB: 2\r\n\r\n", status, cookies, location);
    setMessagePumpHandler({});
    EXPECT_EQ(pumps, 5);  // status line, A, empty, B, empty; nothing after the last separator
}

}  // namespace
}  // namespace tarlowen
