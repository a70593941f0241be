#include "support/scripted_http_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace tarlowen::testing_support {
namespace {

// How long an orderly close keeps reading (and dropping) what the client still sends, so that
// unread bytes do not turn the FIN into a reset.
constexpr int kDrainMs = 2000;

[[nodiscard]] char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

[[nodiscard]] bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

[[nodiscard]] bool containsIgnoreCase(std::string_view text, std::string_view word) {
    for (std::size_t at = 0; at + word.size() <= text.size(); ++at) {
        if (equalsIgnoreCase(text.substr(at, word.size()), word)) {
            return true;
        }
    }
    return false;
}

[[nodiscard]] std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

[[nodiscard]] std::optional<std::string> findHeader(const HeaderFields& headers, std::string_view name) {
    for (const auto& [fieldName, value] : headers) {
        if (equalsIgnoreCase(fieldName, name)) {
            return value;
        }
    }
    return std::nullopt;
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("scripted HTTP server: " + what + ": " + std::strerror(errno));
}

// ---- The certificate TLS servers present ----

struct TestCertificate {
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    std::string pem;
};

TestCertificate makeCertificate() {
    TestCertificate made;
    made.key = EVP_EC_gen("P-256");
    made.certificate = X509_new();
    if (made.key == nullptr || made.certificate == nullptr) {
        throw std::runtime_error("scripted HTTP server: cannot make a key and certificate");
    }
    X509* cert = made.certificate;
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(::time(nullptr)));
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 7 * 24 * 3600);
    X509_set_pubkey(cert, made.key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"),
                               -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* altNames =
        X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    if (altNames == nullptr || X509_add_ext(cert, altNames, -1) != 1 ||
        X509_sign(cert, made.key, EVP_sha256()) == 0) {
        throw std::runtime_error("scripted HTTP server: cannot sign the test certificate");
    }
    X509_EXTENSION_free(altNames);

    BIO* text = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(text, cert);
    char* data = nullptr;
    const long size = BIO_get_mem_data(text, &data);
    made.pem.assign(data, static_cast<std::size_t>(size));
    BIO_free(text);
    return made;
}

// Made once for the whole test run and kept to its end.
const TestCertificate& testCertificate() {
    static const TestCertificate certificate = makeCertificate();
    return certificate;
}

// ---- One connection's byte stream, plain or TLS ----

struct Link {
    int fd = -1;
    SSL* ssl = nullptr;

    // Appends what arrives to `out`; false when the peer closed or the connection failed.
    bool readSome(std::string& out) const {
        char chunk[16384];
        for (;;) {
            if (ssl != nullptr) {
                const int count = SSL_read(ssl, chunk, sizeof chunk);
                if (count <= 0) {
                    return false;
                }
                out.append(chunk, static_cast<std::size_t>(count));
                return true;
            }
            const ssize_t count = ::recv(fd, chunk, sizeof chunk, 0);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                return false;
            }
            out.append(chunk, static_cast<std::size_t>(count));
            return true;
        }
    }

    [[nodiscard]] bool writeAll(std::string_view bytes) const {
        while (!bytes.empty()) {
            if (ssl != nullptr) {
                const int count = SSL_write(ssl, bytes.data(),
                                            static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX)));
                if (count <= 0) {
                    return false;
                }
                bytes.remove_prefix(static_cast<std::size_t>(count));
                continue;
            }
            const ssize_t count = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(count));
        }
        return true;
    }
};

[[nodiscard]] bool sendAllPlain(int fd, std::string_view bytes) {
    return Link{fd, nullptr}.writeAll(bytes);
}

// Splits a request head ("GET / HTTP/1.1\r\nName: value\r\n...\r\n\r\n") into `request`.
void parseHead(std::string_view head, RecordedRequest& request) {
    std::size_t lineEnd = head.find("\r\n");
    const std::string_view requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto lastSpace = requestLine.rfind(' ');
    request.method = std::string(requestLine.substr(0, firstSpace));
    if (firstSpace != std::string_view::npos && lastSpace > firstSpace) {
        request.target = std::string(requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1));
        request.version = std::string(requestLine.substr(lastSpace + 1));
    } else if (firstSpace != std::string_view::npos) {
        request.target = std::string(requestLine.substr(firstSpace + 1));
    }
    while (lineEnd != std::string_view::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string_view line = head.substr(start, lineEnd - start);
        if (line.empty()) {
            break;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) {
            request.headers.emplace_back(std::string(line), std::string());
        } else {
            request.headers.emplace_back(std::string(line.substr(0, colon)),
                                         std::string(trimmed(line.substr(colon + 1))));
        }
    }
}

// Reads one whole request from the connection, `buffer` holding what arrived beyond the previous
// one. nullopt when the connection ends first.
std::optional<RecordedRequest> readRequest(const Link& link, std::string& buffer) {
    const auto ensure = [&](std::size_t size) {
        while (buffer.size() < size) {
            if (!link.readSome(buffer)) {
                return false;
            }
        }
        return true;
    };
    const auto lineEndFrom = [&](std::size_t from) -> std::optional<std::size_t> {
        for (;;) {
            const auto end = buffer.find("\r\n", from);
            if (end != std::string::npos) {
                return end;
            }
            if (!link.readSome(buffer)) {
                return std::nullopt;
            }
        }
    };

    std::size_t headEnd = buffer.find("\r\n\r\n");
    while (headEnd == std::string::npos) {
        if (!link.readSome(buffer)) {
            return std::nullopt;
        }
        headEnd = buffer.find("\r\n\r\n");
    }
    RecordedRequest request;
    std::size_t consumed = headEnd + 4;
    parseHead(std::string_view(buffer).substr(0, consumed), request);

    if (const auto coding = findHeader(request.headers, "Transfer-Encoding");
        coding && containsIgnoreCase(*coding, "chunked")) {
        for (;;) {
            const auto sizeEnd = lineEndFrom(consumed);
            if (!sizeEnd) {
                return std::nullopt;
            }
            std::size_t chunkSize = 0;
            std::from_chars(buffer.data() + consumed, buffer.data() + *sizeEnd, chunkSize, 16);
            consumed = *sizeEnd + 2;
            if (chunkSize == 0) {
                for (;;) {  // trailer fields up to the empty line
                    const auto trailerEnd = lineEndFrom(consumed);
                    if (!trailerEnd) {
                        return std::nullopt;
                    }
                    const bool empty = *trailerEnd == consumed;
                    consumed = *trailerEnd + 2;
                    if (empty) {
                        break;
                    }
                }
                break;
            }
            if (!ensure(consumed + chunkSize + 2)) {
                return std::nullopt;
            }
            request.body.append(buffer, consumed, chunkSize);
            consumed += chunkSize + 2;
        }
    } else if (const auto length = findHeader(request.headers, "Content-Length")) {
        std::size_t bodySize = 0;
        std::from_chars(length->data(), length->data() + length->size(), bodySize);
        if (!ensure(consumed + bodySize)) {
            return std::nullopt;
        }
        request.body.assign(buffer, consumed, bodySize);
        consumed += bodySize;
    }
    request.raw.assign(buffer, 0, consumed);
    buffer.erase(0, consumed);
    return request;
}

[[nodiscard]] std::optional<std::uint16_t> portOfAuthority(std::string_view authority) {
    const auto colon = authority.rfind(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    std::uint16_t port = 0;
    const auto digits = authority.substr(colon + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (error != std::errc{} || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return port;
}

[[nodiscard]] int connectToLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// ---- Building replies ----

std::string_view reasonPhrase(int status) {
    static const std::map<int, std::string_view> phrases = {
        {100, "Continue"},
        {101, "Switching Protocols"},
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {204, "No Content"},
        {206, "Partial Content"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not Modified"},
        {307, "Temporary Redirect"},
        {308, "Permanent Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {407, "Proxy Authentication Required"},
        {500, "Internal Server Error"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
    };
    const auto found = phrases.find(status);
    return found == phrases.end() ? std::string_view("Status") : found->second;
}

std::string responseHead(int status, const HeaderFields& headers) {
    std::string head =
        "HTTP/1.1 " + std::to_string(status) + " " + std::string(reasonPhrase(status)) + "\r\n";
    for (const auto& [name, value] : headers) {
        head += name + ": " + value + "\r\n";
    }
    head += "\r\n";
    return head;
}

std::string responseBytes(int status, const HeaderFields& headers, std::string_view body) {
    HeaderFields all = headers;
    if (!findHeader(all, "Content-Length") && !findHeader(all, "Transfer-Encoding")) {
        all.emplace_back("Content-Length", std::to_string(body.size()));
    }
    return responseHead(status, all).append(body);
}

std::string chunkedBody(const std::vector<std::string>& pieces) {
    std::string body;
    for (const std::string& piece : pieces) {
        if (piece.empty()) {
            continue;
        }
        char size[32];
        const auto end = std::to_chars(size, size + sizeof size, piece.size(), 16).ptr;
        body.append(size, end).append("\r\n").append(piece).append("\r\n");
    }
    return body + "0\r\n\r\n";
}

Reply& Reply::send(std::string bytes) {
    ReplyStep step;
    step.bytes = std::move(bytes);
    m_steps.push_back(std::move(step));
    return *this;
}

Reply& Reply::wait(std::chrono::milliseconds delay) {
    ReplyStep step;
    step.kind = ReplyStep::Kind::Wait;
    step.delay = delay;
    m_steps.push_back(std::move(step));
    return *this;
}

Reply& Reply::close() {
    ReplyStep step;
    step.kind = ReplyStep::Kind::Close;
    m_steps.push_back(std::move(step));
    return *this;
}

Reply& Reply::reset() {
    ReplyStep step;
    step.kind = ReplyStep::Kind::Reset;
    m_steps.push_back(std::move(step));
    return *this;
}

Reply& Reply::stall() {
    ReplyStep step;
    step.kind = ReplyStep::Kind::Stall;
    m_steps.push_back(std::move(step));
    return *this;
}

Reply& Reply::repeat(std::string bytes, std::chrono::milliseconds gap) {
    ReplyStep step;
    step.kind = ReplyStep::Kind::Repeat;
    step.bytes = std::move(bytes);
    step.delay = gap;
    m_steps.push_back(std::move(step));
    return *this;
}

Reply endlessBody() {
    return Reply{}.send(responseHead(200)).repeat(std::string(64 * 1024, 'e'));
}

Reply trickleBody(std::uint64_t length, std::chrono::milliseconds gap) {
    return Reply{}.send(responseHead(200, {{"Content-Length", std::to_string(length)}})).repeat("t", gap);
}

Reply endlessHeaders() {
    return Reply{}.send("HTTP/1.1 200 OK\r\n").repeat("X-Again: and again\r\n");
}

Reply longHeaderLine(std::size_t length) {
    const std::string prefix = "X-Long: ";
    return Reply{}.send("HTTP/1.1 200 OK\r\n" + prefix + std::string(length - prefix.size(), 'h') +
                        "\r\nContent-Length: 2\r\n\r\nok");
}

Reply& Reply::tunnel(std::optional<std::uint16_t> port) {
    ReplyStep step;
    step.kind = ReplyStep::Kind::Tunnel;
    step.tunnelPort = port;
    m_steps.push_back(std::move(step));
    return *this;
}

Reply respond(int status, const HeaderFields& headers, std::string_view body) {
    return Reply{}.send(responseBytes(status, headers, body));
}

Reply redirectTo(std::string_view location, int status, const HeaderFields& extra) {
    HeaderFields headers = {{"Location", std::string(location)}};
    headers.insert(headers.end(), extra.begin(), extra.end());
    return respond(status, headers);
}

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    return findHeader(headers, name);
}

std::string RecordedRequest::head() const {
    const auto end = raw.find("\r\n\r\n");
    return end == std::string::npos ? raw : raw.substr(0, end + 4);
}

// ---- The server ----

struct ScriptedHttpServer::State {
    Options options;
    int listenFd = -1;
    int stopFd = -1;  // an eventfd that turns readable once, when the server stops
    std::uint16_t port = 0;
    SSL_CTX* tlsContext = nullptr;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    mutable std::condition_variable recorded;
    std::map<std::string, Responder> routes;
    std::deque<Reply> script;
    Reply defaultReply =
        respond(404, {{"Content-Type", "text/plain"}}, "no reply scripted for this request\n");
    std::optional<std::optional<std::uint16_t>> connectTunnel;
    std::optional<Reply> acceptReply;
    std::vector<RecordedRequest> requests;
    std::size_t connections = 0;
    std::set<int> liveSockets;  // shut down when the server stops, to wake blocked reads and writes
    std::vector<std::thread> workers;
    std::thread acceptor;

    void start();
    void stop();
    void acceptLoop();
    void serve(int fd, std::size_t index);
    Reply choose(const RecordedRequest& request);
    // Runs the steps; false when they ended the connection.
    bool run(const Link& link, const Reply& reply, const RecordedRequest* request, std::string& buffer);
    // Waits for `delay` or until the server stops; false when it stopped.
    bool pause(std::chrono::milliseconds delay) const;
    void closeGracefully(const Link& link) const;
    void stall(const Link& link) const;
    void relay(const Link& link, const ReplyStep& step, const RecordedRequest* request, std::string& buffer);
    void forgetSocket(int fd);
};

void ScriptedHttpServer::State::start() {
    static const bool sigpipeIgnored = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)sigpipeIgnored;

    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) {
        fail("socket");
    }
    const int on = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fail("bind");
    }
    if (::listen(listenFd, 64) != 0) {
        fail("listen");
    }
    socklen_t length = sizeof address;
    if (::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fail("getsockname");
    }
    port = ntohs(address.sin_port);
    stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (stopFd < 0) {
        fail("eventfd");
    }
    if (options.tls) {
        const TestCertificate& certificate = testCertificate();
        tlsContext = SSL_CTX_new(TLS_server_method());
        if (tlsContext == nullptr || SSL_CTX_use_certificate(tlsContext, certificate.certificate) != 1 ||
            SSL_CTX_use_PrivateKey(tlsContext, certificate.key) != 1) {
            throw std::runtime_error("scripted HTTP server: cannot set up TLS");
        }
    }
    acceptor = std::thread([this] { acceptLoop(); });
}

void ScriptedHttpServer::State::stop() {
    stopping = true;
    const std::uint64_t one = 1;
    (void)!::write(stopFd, &one, sizeof one);
    if (acceptor.joinable()) {
        acceptor.join();
    }
    std::vector<std::thread> running;
    {
        const std::lock_guard lock(mutex);
        for (const int fd : liveSockets) {
            ::shutdown(fd, SHUT_RDWR);
        }
        running.swap(workers);
    }
    for (std::thread& worker : running) {
        worker.join();
    }
    ::close(listenFd);
    ::close(stopFd);
    SSL_CTX_free(tlsContext);
}

void ScriptedHttpServer::State::acceptLoop() {
    while (!stopping) {
        pollfd watched[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (stopping || (watched[1].revents & POLLIN) != 0) {
            return;
        }
        if ((watched[0].revents & POLLIN) == 0) {
            continue;
        }
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const std::lock_guard lock(mutex);
        liveSockets.insert(fd);
        const std::size_t index = ++connections;
        workers.emplace_back([this, fd, index] { serve(fd, index); });
    }
}

void ScriptedHttpServer::State::serve(int fd, std::size_t index) {
    Link link{fd, nullptr};
    bool open = true;
    if (tlsContext != nullptr) {
        link.ssl = SSL_new(tlsContext);
        open = link.ssl != nullptr && SSL_set_fd(link.ssl, fd) == 1 && SSL_accept(link.ssl) == 1;
    }
    std::string buffer;
    std::optional<Reply> greeting;
    {
        const std::lock_guard lock(mutex);
        greeting = acceptReply;
    }
    if (open && greeting) {
        open = run(link, *greeting, nullptr, buffer);
    }
    while (open && !stopping) {
        std::optional<RecordedRequest> request = readRequest(link, buffer);
        if (!request) {
            break;
        }
        request->connection = index;
        {
            const std::lock_guard lock(mutex);
            requests.push_back(*request);
        }
        recorded.notify_all();
        open = run(link, choose(*request), &*request, buffer);
    }
    if (link.ssl != nullptr) {
        SSL_free(link.ssl);
    }
    ERR_clear_error();
    forgetSocket(fd);
}

void ScriptedHttpServer::State::forgetSocket(int fd) {
    const std::lock_guard lock(mutex);
    liveSockets.erase(fd);
    ::close(fd);
}

Reply ScriptedHttpServer::State::choose(const RecordedRequest& request) {
    Responder responder;
    {
        const std::lock_guard lock(mutex);
        if (const auto found = routes.find(request.target); found != routes.end()) {
            responder = found->second;
        } else if (request.method == "CONNECT" && connectTunnel) {
            return Reply{}.tunnel(*connectTunnel);
        } else if (!script.empty()) {
            Reply next = std::move(script.front());
            script.pop_front();
            return next;
        } else {
            return defaultReply;
        }
    }
    return responder(request);  // outside the lock: a responder may ask the server things
}

bool ScriptedHttpServer::State::run(const Link& link, const Reply& reply, const RecordedRequest* request,
                                    std::string& buffer) {
    for (const ReplyStep& step : reply.steps()) {
        switch (step.kind) {
            case ReplyStep::Kind::Send:
                if (!link.writeAll(step.bytes)) {
                    return false;
                }
                break;
            case ReplyStep::Kind::Wait:
                if (!pause(step.delay)) {
                    return false;
                }
                break;
            case ReplyStep::Kind::Close:
                closeGracefully(link);
                return false;
            case ReplyStep::Kind::Reset: {
                const linger abortive{1, 0};
                ::setsockopt(link.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                return false;  // the close that follows sends the RST
            }
            case ReplyStep::Kind::Stall:
                stall(link);
                return false;
            case ReplyStep::Kind::Tunnel:
                relay(link, step, request, buffer);
                return false;
            case ReplyStep::Kind::Repeat:
                for (;;) {
                    if (stopping || !link.writeAll(step.bytes)) {
                        return false;
                    }
                    if (step.delay.count() > 0 && !pause(step.delay)) {
                        return false;
                    }
                }
        }
    }
    return true;
}

bool ScriptedHttpServer::State::pause(std::chrono::milliseconds delay) const {
    pollfd watched{stopFd, POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + delay;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) {
            return !stopping;
        }
        if (::poll(&watched, 1, static_cast<int>(left)) > 0) {
            return false;
        }
    }
}

void ScriptedHttpServer::State::closeGracefully(const Link& link) const {
    if (link.ssl != nullptr) {
        SSL_shutdown(link.ssl);  // our close_notify; the client's is not awaited
    }
    ::shutdown(link.fd, SHUT_WR);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMs);
    char sink[4096];
    while (!stopping) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        pollfd watched[2] = {{link.fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (left <= 0 || ::poll(watched, 2, static_cast<int>(left)) <= 0 || watched[1].revents != 0) {
            return;
        }
        if (::recv(link.fd, sink, sizeof sink, 0) <= 0) {
            return;
        }
    }
}

void ScriptedHttpServer::State::stall(const Link& link) const {
    for (;;) {
        pollfd watched[2] = {{link.fd, POLLRDHUP, 0}, {stopFd, POLLIN, 0}};
        const int ready = ::poll(watched, 2, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return;  // the client went away, or the server stops
    }
}

void ScriptedHttpServer::State::relay(const Link& link, const ReplyStep& step, const RecordedRequest* request,
                                      std::string& buffer) {
    std::optional<std::uint16_t> targetPort = step.tunnelPort;
    if (!targetPort && request != nullptr) {
        targetPort = portOfAuthority(request->target);
    }
    const int target = targetPort ? connectToLoopback(*targetPort) : -1;
    if (target < 0) {
        (void)link.writeAll(responseBytes(502, {{"Connection", "close"}}));
        closeGracefully(link);
        return;
    }
    {
        const std::lock_guard lock(mutex);
        liveSockets.insert(target);
    }
    bool clientOpen =
        link.writeAll("HTTP/1.1 200 Connection established\r\n\r\n") && sendAllPlain(target, buffer);
    buffer.clear();
    bool targetOpen = clientOpen;
    while ((clientOpen || targetOpen) && !stopping) {
        pollfd watched[3] = {{link.fd, static_cast<short>(clientOpen ? POLLIN : 0), 0},
                             {target, static_cast<short>(targetOpen ? POLLIN : 0), 0},
                             {stopFd, POLLIN, 0}};
        const bool pending = link.ssl != nullptr && SSL_pending(link.ssl) > 0;
        if (!pending && ::poll(watched, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (watched[2].revents != 0) {
            break;
        }
        if (clientOpen && (pending || watched[0].revents != 0)) {
            std::string chunk;
            if (link.readSome(chunk)) {
                if (!sendAllPlain(target, chunk)) {
                    break;
                }
            } else {
                clientOpen = false;
                ::shutdown(target, SHUT_WR);
            }
        }
        if (targetOpen && watched[1].revents != 0) {
            char chunk[16384];
            const ssize_t count = ::recv(target, chunk, sizeof chunk, 0);
            if (count > 0) {
                if (!link.writeAll(std::string_view(chunk, static_cast<std::size_t>(count)))) {
                    break;
                }
            } else {
                targetOpen = false;
                ::shutdown(link.fd, SHUT_WR);
            }
        }
    }
    forgetSocket(target);
}

ScriptedHttpServer::ScriptedHttpServer() : ScriptedHttpServer(Options{}) {}

ScriptedHttpServer::ScriptedHttpServer(Options options) : m_state(std::make_unique<State>()) {
    m_state->options = options;
    m_state->start();
}

ScriptedHttpServer::~ScriptedHttpServer() {
    m_state->stop();
}

std::uint16_t ScriptedHttpServer::port() const {
    return m_state->port;
}

std::string ScriptedHttpServer::authority() const {
    return "127.0.0.1:" + std::to_string(m_state->port);
}

std::string ScriptedHttpServer::url(std::string_view target) const {
    return (m_state->options.tls ? "https://" : "http://") + authority() + std::string(target);
}

ScriptedHttpServer& ScriptedHttpServer::route(std::string target, Reply reply) {
    return route(std::move(target), [reply = std::move(reply)](const RecordedRequest&) { return reply; });
}

ScriptedHttpServer& ScriptedHttpServer::route(std::string target, Responder responder) {
    const std::lock_guard lock(m_state->mutex);
    m_state->routes.insert_or_assign(std::move(target), std::move(responder));
    return *this;
}

ScriptedHttpServer& ScriptedHttpServer::enqueue(Reply reply) {
    const std::lock_guard lock(m_state->mutex);
    m_state->script.push_back(std::move(reply));
    return *this;
}

ScriptedHttpServer& ScriptedHttpServer::script(std::vector<Reply> replies) {
    const std::lock_guard lock(m_state->mutex);
    for (Reply& reply : replies) {
        m_state->script.push_back(std::move(reply));
    }
    return *this;
}

ScriptedHttpServer& ScriptedHttpServer::setDefaultReply(Reply reply) {
    const std::lock_guard lock(m_state->mutex);
    m_state->defaultReply = std::move(reply);
    return *this;
}

ScriptedHttpServer& ScriptedHttpServer::tunnelConnects(std::optional<std::uint16_t> port) {
    const std::lock_guard lock(m_state->mutex);
    m_state->connectTunnel.emplace(port);
    return *this;
}

ScriptedHttpServer& ScriptedHttpServer::onAccept(Reply reply) {
    const std::lock_guard lock(m_state->mutex);
    m_state->acceptReply = std::move(reply);
    return *this;
}

std::vector<RecordedRequest> ScriptedHttpServer::requests() const {
    const std::lock_guard lock(m_state->mutex);
    return m_state->requests;
}

bool ScriptedHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_state->mutex);
    return m_state->recorded.wait_for(lock, timeout, [&] { return m_state->requests.size() >= count; });
}

std::size_t ScriptedHttpServer::connectionCount() const {
    const std::lock_guard lock(m_state->mutex);
    return m_state->connections;
}

std::size_t ScriptedHttpServer::pendingScriptedReplies() const {
    const std::lock_guard lock(m_state->mutex);
    return m_state->script.size();
}

std::string ScriptedHttpServer::certificatePem() {
    return testCertificate().pem;
}

RefusingPort::RefusingPort() : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
    ::close(m_fd);
}

}  // namespace tarlowen::testing_support
