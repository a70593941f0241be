// The WinHttp-shaped calls on the system's WinHttp (under Wine when cross-built), without a network:
// cracking, the handles, and the heartbeat that calls an exchange off.
// Our header first: <winhttp.h> defines the same constants as macros.
// clang-format off
#include "platform/winhttp_api.hpp"
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <gtest/gtest.h>

#include "platform/code_page.hpp"
#include "platform/message_pump.hpp"

namespace tarlowen {
namespace {

TEST(SystemWinHttpApiTest, CracksHttpAddressesIntoSpans) {
    const auto api = makeEngineWinHttpApi();
    ASSERT_TRUE(api->WinHttpCheckPlatform());
    UrlComponents parts;
    const ByteSet url = TextToUtf16("http://songs.example:8080/play?s=1#top");
    ASSERT_TRUE(api->WinHttpCrackUrl(url, parts));
    EXPECT_EQ(parts.scheme, 1);  // INTERNET_SCHEME_HTTP
    EXPECT_EQ(parts.port, 8080);
    EXPECT_EQ(parts.host.offset, 7u);
    EXPECT_EQ(parts.host.length, 13u);
    EXPECT_EQ(parts.path.offset, 25u);
    EXPECT_EQ(parts.path.length, 5u);
    EXPECT_EQ(parts.extra.offset, 30u);
    EXPECT_EQ(parts.extra.length, 8u);
    EXPECT_FALSE(api->WinHttpCrackUrl(TextToUtf16("ftp://songs.example/"), parts));
    EXPECT_FALSE(api->WinHttpCrackUrl({}, parts));
}

TEST(SystemWinHttpApiTest, ClosingProgramCallsTheExchangeOffBeforeItStarts) {
    const auto api = makeEngineWinHttpApi();
    const HInternet session = api->WinHttpOpen(1, {});  // no proxy
    ASSERT_NE(session, 0u);
    const HInternet connection = api->WinHttpConnect(session, TextToUtf16("127.0.0.1"), 9);
    ASSERT_NE(connection, 0u);
    const HInternet request = api->WinHttpOpenRequest(connection, TextToUtf16("GET"), TextToUtf16("/"), 0);
    ASSERT_NE(request, 0u);

    int beats = 0;
    const auto previous = setTransferHeartbeatHandler([&] {
        ++beats;
        return false;
    });
    EXPECT_FALSE(api->WinHttpSendRequest(request, {}));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_OPERATION_CANCELLED));
    EXPECT_FALSE(api->WinHttpReceiveResponse(request));
    std::uint32_t available = 7;
    EXPECT_FALSE(api->WinHttpQueryDataAvailable(request, available));
    EXPECT_EQ(available, 0u);
    EXPECT_EQ(beats, 3);
    setTransferHeartbeatHandler(previous);

    api->WinHttpCloseHandle(request);
    api->WinHttpCloseHandle(connection);
    api->WinHttpCloseHandle(session);
}

}  // namespace
}  // namespace tarlowen
