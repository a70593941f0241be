#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/text_types.hpp"

namespace tarlowen {

// Request headers in the order they were first set. Names compare without regard to letter case:
// setting a name that is already there replaces its value in place.
class HeaderList {
  public:
    void set(std::string_view name, std::string_view value);
    [[nodiscard]] std::optional<std::string> find(std::string_view name) const;
    [[nodiscard]] const std::vector<std::pair<std::string, std::string>>& entries() const {
        return m_entries;
    }

  private:
    std::vector<std::pair<std::string, std::string>> m_entries;
};

struct HttpCredentials {
    std::string user;
    std::string password;
};

// Idle limits in milliseconds for each phase of an exchange; 0 or less means no limit. There is no
// limit on the exchange as a whole, but a response that trickles in slower than the speed floor
// (HttpSpeedFloor below) ends it. Each limit is the
// longest stretch without progress while: resolving the host name (resolve); opening the connection,
// its TLS handshake and proxy tunnel included (connect); writing the request (send); waiting for the
// response head and between pieces of the body (receive). Between a redirect and the next connection
// the receive limit applies.
struct HttpTimeouts {
    int resolveMs = 0;
    int connectMs = 60000;
    int sendMs = 30000;
    int receiveMs = 30000;
};

// One piece of the final response's body, with what is known of that response.
struct HttpBodyPiece {
    int status = 0;
    std::optional<std::uint64_t> contentLength;
    std::span<const std::uint8_t> bytes;
};
// Takes the final response's body as it arrives; returning false ends the exchange as a read failure.
using HttpBodySink = std::function<bool(const HttpBodyPiece&)>;

struct HttpRequest {
    std::string method = "GET";  // sent as written; "HEAD" expects no body
    std::string url;             // absolute http or https address; a fragment is never sent
    // Sent as given, in order, after Host (the engine adds none of its own but Host, and the
    // Content-Length of a body). Accept, Expect, Content-Type and User-Agent go out only when set here.
    HeaderList headers;
    std::string body;  // sent with any method when not empty; POST always carries a Content-Length
    // "" for a direct connection; "host:port" for every scheme (https through CONNECT);
    // "http=host:port" for http addresses only, https then going direct ("https=host:port" the other
    // way round). Entries are separated by ';' or white space; a scheme's own entry wins.
    std::string proxyList;
    std::optional<HttpCredentials> serverCredentials;  // Basic, sent with the first request
    std::optional<HttpCredentials> proxyCredentials;   // Basic, sent with the first request
    HttpTimeouts timeouts;
    // 301, 302, 303, 307 and 308 only, at most 10, never from https to http nor to another scheme.
    // 303 turns every method but HEAD into a GET without body, 301 and 302 turn POST into one; any
    // other method goes again as it was, body included. Credentials, and Authorization and Cookie
    // headers given here, go only to the first address's scheme, host and port.
    bool followRedirects = true;
    // Cookies set during the exchange travel with its later requests. While it is on, a Cookie
    // header given above goes out ahead of the others, in one line with the cookies collected.
    bool cookieEngine = false;
    bool verifyTls = true;  // false ignores an unknown authority, a name mismatch and bad dates
    // When set, the final response's body goes here piece by piece as it arrives (contentLength is
    // nullopt when none was announced or the body is transfer-coded) and HttpResponse::body stays
    // empty; no body buffer is reserved. Earlier responses (redirects, 1xx) never reach it.
    HttpBodySink bodySink;
    // 0: no limit. Past it the exchange ends as a read failure, keeping (or passing to the sink) the
    // first maxBodyBytes bytes.
    std::uint64_t maxBodyBytes = 0;
};

// Where an exchange failed. Send: before the request was fully sent (name resolution, connect, TLS,
// proxy tunnel, sending). Receive: while waiting for the final response's headers (nothing received,
// a malformed status line or header, too many redirects, a time limit). Read: while receiving the
// body (connection lost, time limit, fewer bytes than Content-Length); the bytes received before the
// failure are kept.
enum class HttpFailurePhase { None, Send, Receive, Read };

struct HttpResponse {
    HttpFailurePhase failure = HttpFailurePhase::None;
    std::string failureDetail;  // the transport's own words, for diagnostics only
    int status = 0;             // the final response's status code; 0 when none was received
    // The final response's status line and header lines as received, each ending in CRLF, closed by
    // the empty line. Responses before it (1xx, followed redirects) are not part of it.
    std::string rawHeaders;
    ByteSet body;  // as received, never decompressed
};

// Performs one blocking exchange over HTTP/1.1 on the calling thread; several threads may run
// exchanges at once. Never throws; every failure is reported through `failure`. While the exchange
// runs it calls KeepTransferGoing() every 50 ms (waiting or moving bytes) and ends as failed, in the
// phase it reached, when that says false; it does not start when it says false. An address holding
// a blank or a control character, or a header holding CR, LF or a zero byte, is refused before
// anything is sent, and a response head longer than 256 KiB fails while waiting for it. Holds the body once:
// with a Content-Length the buffer is reserved up front (up to 1 GiB; beyond that it grows), and the
// caller receives it by move.
[[nodiscard]] HttpResponse performHttpExchange(const HttpRequest& request) noexcept;

// The floor on speed every exchange keeps: once the final response (or a redirect) has started to
// arrive, less than bytesPerSecond on average over any stretch of `window` ends the exchange as failed
// (a read failure once the body has started). Idle limits alone let a server that sends a byte every
// few seconds hold a transfer for ever; a real slow link moves tens of KiB a second.
struct HttpSpeedFloor {
    std::chrono::milliseconds window;
    std::uint64_t bytesPerSecond;
};
inline constexpr HttpSpeedFloor kDefaultSpeedFloor{std::chrono::seconds(30), 1024};

// Test seam: replaces the floor for the exchanges that start afterwards and returns the one it
// replaces. A window of 0 switches the floor off.
HttpSpeedFloor setHttpSpeedFloorForTests(HttpSpeedFloor floor);

// An address, or part of one, as it goes on the wire: printable ASCII as written; blanks, control
// characters and everything beyond ASCII as percent-escaped UTF-8, which is how servers expect a
// non-ASCII path or query.
[[nodiscard]] std::string wireForm(std::u16string_view address);

}  // namespace tarlowen
