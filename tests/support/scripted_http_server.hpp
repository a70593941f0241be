#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A loopback HTTP server for tests whose replies are written as data. Typical use:
//
//     ScriptedHttpServer server;
//     server.route("/play?s=1", respond(200, {{"Content-Type", "text/html"}}, "<html>...</html>"));
//     server.script({respond(302, {{"Location", "/next"}}), respond(200, {}, "done")});
//     ... run the code under test against server.url("/play?s=1") ...
//     EXPECT_EQ(server.requests().at(0).header("Cookie"), "sid=7");
//
// A reply is a list of steps (send bytes, wait, close, reset, stall, tunnel), so broken servers are
// as easy to write as good ones:
//
//     Reply{}.send(responseHead(200, {{"Content-Length", "10"}})).send("abcd").stall()
//
// The server listens on 127.0.0.1 on a port the system picks, serves each connection on its own
// thread (keep-alive included), can speak TLS with a certificate made for the test run, and can act
// as a recording forward proxy that tunnels CONNECT requests to another loopback server. It never
// reaches beyond loopback. SIGPIPE is ignored in the process once a server exists, so a client that
// goes away mid-reply does not end the test run.
namespace tarlowen::testing_support {

// Header fields in the order written, names as written.
using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// The status line and the header lines, each ending in CRLF, closed by the blank line. Nothing is
// added: what a test writes is what goes out.
[[nodiscard]] std::string responseHead(int status, const HeaderFields& headers = {});

// A complete response: the head, with "Content-Length" appended to the headers unless they carry a
// Content-Length or a Transfer-Encoding already, then the body.
[[nodiscard]] std::string responseBytes(int status, const HeaderFields& headers = {},
                                        std::string_view body = {});

// A body in chunked transfer coding: one chunk per piece (empty pieces are skipped, as an empty
// chunk would end the body), then the last chunk and the empty trailer.
[[nodiscard]] std::string chunkedBody(const std::vector<std::string>& pieces);

// "OK", "Found", "Not Found", ...; "Status" for a code without a well-known phrase.
[[nodiscard]] std::string_view reasonPhrase(int status);

// One thing the server does on a connection.
struct ReplyStep {
    enum class Kind {
        Send,    // writes `bytes`
        Wait,    // pauses for `delay`
        Close,   // orderly close: FIN (and TLS close_notify), then the connection ends
        Reset,   // abortive close: RST (SO_LINGER 0), then the connection ends
        Stall,   // neither reads nor writes until the client goes away or the server stops
        Tunnel,  // answers a CONNECT with 200 and relays bytes both ways until either side closes
        Repeat,  // writes `bytes`, pauses for `delay`, and again, until the client goes away or the server
                 // stops
    };
    Kind kind = Kind::Send;
    std::string bytes;
    std::chrono::milliseconds delay{0};
    std::optional<std::uint16_t> tunnelPort;  // Tunnel: the loopback port to relay to
};

// What the server does after reading a request: its steps in order. When the steps do not end the
// connection, the server reads the next request on it (keep-alive).
class Reply {
  public:
    Reply& send(std::string bytes);
    Reply& wait(std::chrono::milliseconds delay);
    Reply& close();
    Reply& reset();
    Reply& stall();
    // Sends `bytes` every `gap` for ever: a trickle (one byte every few seconds), an endless body
    // (a large piece, no gap), endless header lines. Ends the reply's steps.
    Reply& repeat(std::string bytes, std::chrono::milliseconds gap = std::chrono::milliseconds(0));
    // Relays to 127.0.0.1 at `port`, or at the port of the CONNECT request's authority when not
    // given (the host named there is not looked up: everything stays on loopback). Answers 502 and
    // closes when that port refuses.
    Reply& tunnel(std::optional<std::uint16_t> port = std::nullopt);

    [[nodiscard]] const std::vector<ReplyStep>& steps() const { return m_steps; }

  private:
    std::vector<ReplyStep> m_steps;
};

// A complete response sent in one piece (see responseBytes); the connection stays open.
[[nodiscard]] Reply respond(int status, const HeaderFields& headers = {}, std::string_view body = {});

// Misbehaving servers, as replies. Each holds the connection until the client gives up.
// An endless body after a 200 head without a length, in pieces of 64 KiB.
[[nodiscard]] Reply endlessBody();
// A 200 head with a Content-Length of `length`, then one byte every `gap`.
[[nodiscard]] Reply trickleBody(std::uint64_t length, std::chrono::milliseconds gap);
// A status line, then header lines without end.
[[nodiscard]] Reply endlessHeaders();
// A 200 response whose one header line is `length` bytes long.
[[nodiscard]] Reply longHeaderLine(std::size_t length);

// A redirect to `location` with an empty body; `extra` headers follow the Location header.
[[nodiscard]] Reply redirectTo(std::string_view location, int status = 302, const HeaderFields& extra = {});

// A request as the server received it.
struct RecordedRequest {
    std::size_t connection = 0;  // which connection it came on, counting from 1 in accept order
    std::string raw;             // the bytes as received: head and body, a chunked body still chunked
    std::string method;
    std::string target;    // as written: "/path?query", "http://host/path" (proxy), "host:443" (CONNECT)
    std::string version;   // "HTTP/1.1"
    HeaderFields headers;  // in order, names as written, values without surrounding white space
    std::string body;      // chunked coding removed

    // The first header of that name, compared without regard to letter case.
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
    // The raw head: request line and header lines up to and including the blank line.
    [[nodiscard]] std::string head() const;
};

// Makes a reply for a request; runs on the connection's thread.
using Responder = std::function<Reply(const RecordedRequest&)>;

class ScriptedHttpServer {
  public:
    struct Options {
        bool tls = false;  // speak TLS with the self-signed certificate of certificatePem()
    };

    ScriptedHttpServer();
    explicit ScriptedHttpServer(Options options);
    // Stops accepting, ends every connection (a stalled one included) and joins the threads.
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    [[nodiscard]] std::uint16_t port() const;
    [[nodiscard]] std::string authority() const;                   // "127.0.0.1:port", for proxy lists
    [[nodiscard]] std::string url(std::string_view target) const;  // "http(s)://127.0.0.1:port" + target

    // Which reply a request gets, first match wins: a route for its exact target; for a CONNECT, the
    // tunnel set by tunnelConnects; the next scripted reply (in order, whatever the connection); the
    // default reply (404 with a short body until changed).
    ScriptedHttpServer& route(std::string target, Reply reply);
    ScriptedHttpServer& route(std::string target, Responder responder);
    ScriptedHttpServer& enqueue(Reply reply);
    ScriptedHttpServer& script(std::vector<Reply> replies);
    ScriptedHttpServer& setDefaultReply(Reply reply);
    // Every CONNECT request is answered with Reply{}.tunnel(port).
    ScriptedHttpServer& tunnelConnects(std::optional<std::uint16_t> port = std::nullopt);
    // Steps run on each new connection before anything is read (after the TLS handshake): a server
    // that speaks first, closes at once, or stalls without reading the request.
    ScriptedHttpServer& onAccept(Reply reply);

    // Every complete request received so far, in arrival order. A request is recorded before its
    // reply starts, so once a client has seen any of the reply, the request is here.
    [[nodiscard]] std::vector<RecordedRequest> requests() const;
    // Waits until at least `count` requests are recorded; false when `timeout` passes first.
    [[nodiscard]] bool waitForRequests(std::size_t count,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    [[nodiscard]] std::size_t connectionCount() const;
    [[nodiscard]] std::size_t pendingScriptedReplies() const;

    // The PEM text of the self-signed certificate TLS servers present (CN and subjectAltName
    // "localhost" and 127.0.0.1). Made once per test run.
    [[nodiscard]] static std::string certificatePem();

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

// A loopback port that refuses connections while the object lives: bound, never listening, so no
// other test can start listening on it meanwhile.
class RefusingPort {
  public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    [[nodiscard]] std::uint16_t port() const { return m_port; }

  private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

}  // namespace tarlowen::testing_support
