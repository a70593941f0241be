#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "text/text_types.hpp"

namespace tarlowen {

// The WinHttp calls the page transfer makes, with the platform's names, constants and shapes: texts
// cross as UTF-16LE buffers, a call reports success as a boolean and a handle of 0 is a failed open.
// The default implementation runs each exchange on the HTTP engine; a test can wrap it to make any
// single call fail.
using HInternet = std::uintptr_t;

inline constexpr int INTERNET_SCHEME_HTTP = 1;
inline constexpr int INTERNET_SCHEME_HTTPS = 2;
inline constexpr int WINHTTP_ACCESS_TYPE_NO_PROXY = 1;
inline constexpr int WINHTTP_ACCESS_TYPE_NAMED_PROXY = 3;
inline constexpr std::uint32_t WINHTTP_FLAG_SECURE = 0x00800000;
inline constexpr int WINHTTP_AUTH_TARGET_SERVER = 0;
inline constexpr int WINHTTP_AUTH_TARGET_PROXY = 1;
inline constexpr int WINHTTP_AUTH_SCHEME_BASIC = 1;
inline constexpr std::uint32_t WINHTTP_OPTION_DISABLE_FEATURE = 63;
inline constexpr std::uint32_t WINHTTP_OPTION_ENABLE_FEATURE = 79;
inline constexpr std::uint32_t WINHTTP_DISABLE_COOKIES = 1;
inline constexpr std::uint32_t WINHTTP_DISABLE_REDIRECTS = 2;
inline constexpr std::uint32_t WINHTTP_ENABLE_SSL_REVOCATION = 1;
inline constexpr std::uint32_t WINHTTP_ADDREQ_FLAG_ADD = 0x20000000;
inline constexpr std::uint32_t WINHTTP_ADDREQ_FLAG_REPLACE = 0x80000000;
inline constexpr std::uint32_t WINHTTP_QUERY_RAW_HEADERS_CRLF = 22;

// Where the parts of a cracked address lie in the UTF-16 text, counted in units.
struct UrlComponents {
    struct Span {
        std::size_t offset = 0;
        std::size_t length = 0;
    };
    int scheme = 0;
    Span host;
    int port = 0;
    Span path;
    Span extra;  // "?" query and "#" fragment
};

class WinHttpApi {
  public:
    virtual ~WinHttpApi() = default;

    virtual bool WinHttpCheckPlatform() = 0;
    // `url` is a terminated UTF-16 string. Only http and https addresses crack.
    virtual bool WinHttpCrackUrl(const ByteSet& url, UrlComponents& components) = 0;
    // `proxyName` is a terminated UTF-16 proxy list for the named-proxy access type, empty otherwise.
    virtual HInternet WinHttpOpen(int accessType, const ByteSet& proxyName) = 0;
    virtual HInternet WinHttpConnect(HInternet session, const ByteSet& serverName, int port) = 0;
    virtual HInternet WinHttpOpenRequest(HInternet connection, const ByteSet& verb, const ByteSet& objectName,
                                         std::uint32_t flags) = 0;
    virtual bool WinHttpSetTimeouts(HInternet request, int resolveMs, int connectMs, int sendMs,
                                    int receiveMs) = 0;
    virtual bool WinHttpSetCredentials(HInternet request, int target, int scheme, const ByteSet& userName,
                                       const ByteSet& password) = 0;
    virtual bool WinHttpSetOption(HInternet request, std::uint32_t option, std::uint32_t value) = 0;
    // `headers` is UTF-16 of `lengthInUnits` units (its terminator not counted).
    virtual bool WinHttpAddRequestHeaders(HInternet request, const ByteSet& headers,
                                          std::size_t lengthInUnits, std::uint32_t modifiers) = 0;
    virtual bool WinHttpSendRequest(HInternet request, std::string_view body) = 0;
    virtual bool WinHttpReceiveResponse(HInternet request) = 0;
    virtual bool WinHttpQueryDataAvailable(HInternet request, std::uint32_t& available) = 0;
    virtual bool WinHttpReadData(HInternet request, std::uint8_t* buffer, std::uint32_t toRead,
                                 std::uint32_t& read) = 0;
    // With a buffer too small (length 0 included) it fails and sets `bufferLength` to the bytes needed;
    // otherwise it writes the raw header block as terminated UTF-16.
    virtual bool WinHttpQueryHeaders(HInternet request, std::uint32_t infoLevel, std::uint8_t* buffer,
                                     std::uint32_t& bufferLength, std::uint32_t& index) = 0;
    virtual void WinHttpCloseHandle(HInternet handle) = 0;
};

// The most of a response body the page transfer keeps. A share page is a few hundred kilobytes; past
// this the read fails (as a broken connection does) with the first bytes kept, so an endless or
// absurd body can neither exhaust memory nor hide the fields at its start.
inline constexpr std::uint64_t kMaxPageBodyBytes = std::uint64_t{64} << 20;

// A new instance of the engine-backed implementation; each keeps its own handles. Bodies are held
// in pieces that are let go as they are read, up to `maxBodyBytes` (a test may pass less).
[[nodiscard]] std::unique_ptr<WinHttpApi> makeEngineWinHttpApi(
    std::uint64_t maxBodyBytes = kMaxPageBodyBytes);

}  // namespace tarlowen
