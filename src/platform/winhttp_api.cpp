#include "platform/winhttp_api.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <variant>

#include "platform/code_page.hpp"
#include "platform/http_engine.hpp"
#include "text/ascii_case.hpp"

namespace tarlowen {
namespace {

constexpr std::uint32_t kChunkSize = 64 * 1024;

// Splits "scheme://[user[:password]@]host[:port][/path][?query][#fragment]" into spans as written.
[[nodiscard]] bool crackUrl(std::u16string_view url, UrlComponents& components) {
    const std::size_t schemeEnd = url.find(u"://");
    if (schemeEnd == std::u16string_view::npos) {
        return false;
    }
    const std::u16string_view scheme = url.substr(0, schemeEnd);
    int schemeNumber = 0;
    int defaultPort = 0;
    if (equalsIgnoringAsciiCase(scheme, u"http")) {
        schemeNumber = INTERNET_SCHEME_HTTP;
        defaultPort = 80;
    } else if (equalsIgnoringAsciiCase(scheme, u"https")) {
        schemeNumber = INTERNET_SCHEME_HTTPS;
        defaultPort = 443;
    } else {
        return false;
    }
    const std::size_t authorityStart = schemeEnd + 3;
    const std::size_t authorityEnd = std::min(url.find_first_of(u"/?#", authorityStart), url.size());
    std::u16string_view authority = url.substr(authorityStart, authorityEnd - authorityStart);
    std::size_t hostStart = authorityStart;
    if (const std::size_t at = authority.rfind(u'@'); at != std::u16string_view::npos) {
        hostStart += at + 1;
        authority.remove_prefix(at + 1);
    }
    // A port follows the last colon, unless that colon lies inside a bracketed IPv6 address.
    std::size_t hostLength = authority.size();
    int port = defaultPort;
    const std::size_t colon = authority.rfind(u':');
    const std::size_t bracket = authority.rfind(u']');
    if (colon != std::u16string_view::npos && (bracket == std::u16string_view::npos || colon > bracket)) {
        const std::u16string_view digits = authority.substr(colon + 1);
        if (digits.size() > 5) {
            return false;
        }
        // An empty port ("http://host:/") is the scheme's own, as the address syntax has it.
        if (!digits.empty()) {
            port = 0;
            for (const char16_t digit : digits) {
                if (digit < u'0' || digit > u'9') {
                    return false;
                }
                port = port * 10 + (digit - u'0');
            }
            if (port == 0 || port > 65535) {
                return false;
            }
        }
        hostLength = colon;
    }
    if (hostLength == 0) {
        return false;
    }
    const std::size_t extraStart = std::min(url.find_first_of(u"?#", authorityEnd), url.size());
    components.scheme = schemeNumber;
    components.host = {hostStart, hostLength};
    components.port = port;
    components.path = {authorityEnd, extraStart - authorityEnd};
    components.extra = {extraStart, url.size() - extraStart};
    return true;
}

struct Session {
    std::string proxyList;
};

struct Connection {
    std::string proxyList;
    std::u16string host;
    int port = 0;
};

// The body as it arrived, in pieces of about a megabyte that are let go once read, so a page is held
// once between the transport and the reader rather than twice.
class PieceQueue {
  public:
    // Appends; throws std::bad_alloc like any container.
    void append(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            if (m_pieces.empty() || m_pieces.back().size() >= kPieceSize) {
                m_pieces.emplace_back();
            }
            ByteSet& piece = m_pieces.back();
            const std::size_t take = std::min(bytes.size(), kPieceSize - piece.size());
            piece.insert(piece.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
            bytes = bytes.subspan(take);
        }
    }

    [[nodiscard]] std::size_t frontAvailable() const {
        return m_pieces.empty() ? 0 : m_pieces.front().size() - m_frontOffset;
    }

    // Copies up to `toRead` bytes of the front piece and lets it go once it is used up.
    std::size_t read(std::uint8_t* buffer, std::size_t toRead) {
        const std::size_t count = std::min(toRead, frontAvailable());
        if (count == 0) {
            return 0;
        }
        std::memcpy(buffer, m_pieces.front().data() + m_frontOffset, count);
        m_frontOffset += count;
        if (m_frontOffset == m_pieces.front().size()) {
            m_pieces.pop_front();
            m_frontOffset = 0;
        }
        return count;
    }

  private:
    static constexpr std::size_t kPieceSize = std::size_t{1} << 20;
    std::deque<ByteSet> m_pieces;
    std::size_t m_frontOffset = 0;
};

struct Request {
    std::string origin;  // scheme, host and port
    HttpRequest http;
    bool sent = false;
    bool received = false;
    std::optional<HttpResponse> response;
    // Shared with the engine's body sink, which outlives nothing: the exchange is over when Send returns.
    std::shared_ptr<PieceQueue> body = std::make_shared<PieceQueue>();
};

class EngineWinHttpApi final : public WinHttpApi {
  public:
    explicit EngineWinHttpApi(std::uint64_t maxBodyBytes) : m_maxBodyBytes(maxBodyBytes) {}

    bool WinHttpCheckPlatform() override { return true; }

    bool WinHttpCrackUrl(const ByteSet& url, UrlComponents& components) override {
        return crackUrl(utf16Units(url), components);
    }

    HInternet WinHttpOpen(int accessType, const ByteSet& proxyName) override {
        Session session;
        if (accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
            session.proxyList = encodeCodePage936(utf16Units(proxyName));
            if (session.proxyList.empty()) {
                return 0;
            }
        } else if (accessType != WINHTTP_ACCESS_TYPE_NO_PROXY) {
            return 0;
        }
        return add(std::move(session));
    }

    HInternet WinHttpConnect(HInternet sessionHandle, const ByteSet& serverName, int port) override {
        const auto* session = find<Session>(sessionHandle);
        std::u16string host = utf16Units(serverName);
        if (session == nullptr || host.empty() || port <= 0 || port > 65535) {
            return 0;
        }
        return add(Connection{session->proxyList, std::move(host), port});
    }

    HInternet WinHttpOpenRequest(HInternet connectionHandle, const ByteSet& verb, const ByteSet& objectName,
                                 std::uint32_t flags) override {
        const auto* connection = find<Connection>(connectionHandle);
        const std::u16string verbUnits = utf16Units(verb);
        if (connection == nullptr || verbUnits.empty()) {
            return 0;
        }
        const bool secure = (flags & WINHTTP_FLAG_SECURE) != 0;
        std::string host = utf16ToUtf8(connection->host);
        if (host.find(':') != std::string::npos && !host.starts_with('[')) {
            host = "[" + host + "]";
        }
        Request request;
        request.origin =
            std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(connection->port);
        request.http.method = utf16ToUtf8(verbUnits);
        std::u16string object = utf16Units(objectName);
        request.http.url = request.origin + wireForm(object.empty() ? u"/" : object);
        request.http.proxyList = connection->proxyList;
        request.http.cookieEngine = true;  // on until the caller switches it off
        return add(std::move(request));
    }

    bool WinHttpSetTimeouts(HInternet handle, int resolveMs, int connectMs, int sendMs,
                            int receiveMs) override {
        auto* request = find<Request>(handle);
        if (request == nullptr || resolveMs < -1 || connectMs < -1 || sendMs < -1 || receiveMs < -1) {
            return false;
        }
        request->http.timeouts = HttpTimeouts{resolveMs, connectMs, sendMs, receiveMs};
        return true;
    }

    bool WinHttpSetCredentials(HInternet handle, int target, int scheme, const ByteSet& userName,
                               const ByteSet& password) override {
        auto* request = find<Request>(handle);
        if (request == nullptr || scheme != WINHTTP_AUTH_SCHEME_BASIC || request->sent) {
            return false;
        }
        HttpCredentials credentials{encodeCodePage936(utf16Units(userName)),
                                    encodeCodePage936(utf16Units(password))};
        if (target == WINHTTP_AUTH_TARGET_SERVER) {
            request->http.serverCredentials = std::move(credentials);
        } else if (target == WINHTTP_AUTH_TARGET_PROXY) {
            request->http.proxyCredentials = std::move(credentials);
        } else {
            return false;
        }
        return true;
    }

    bool WinHttpSetOption(HInternet handle, std::uint32_t option, std::uint32_t value) override {
        auto* request = find<Request>(handle);
        if (request == nullptr || request->sent) {
            return false;
        }
        if (option == WINHTTP_OPTION_DISABLE_FEATURE) {
            if ((value & ~(WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS)) != 0) {
                return false;
            }
            if ((value & WINHTTP_DISABLE_COOKIES) != 0) {
                request->http.cookieEngine = false;
            }
            if ((value & WINHTTP_DISABLE_REDIRECTS) != 0) {
                request->http.followRedirects = false;
            }
            return true;
        }
        // Enabling revocation checks is accepted; the engine's certificate checks stay as they are.
        return option == WINHTTP_OPTION_ENABLE_FEATURE && value == WINHTTP_ENABLE_SSL_REVOCATION;
    }

    bool WinHttpAddRequestHeaders(HInternet handle, const ByteSet& headers, std::size_t lengthInUnits,
                                  std::uint32_t modifiers) override {
        auto* request = find<Request>(handle);
        if (request == nullptr || request->sent ||
            (modifiers & ~(WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) != 0) {
            return false;
        }
        std::u16string units = utf16Units(headers);
        units.resize(std::min(units.size(), lengthInUnits));
        const Text block = encodeCodePage936(units);
        // Every line must be a header; empty lines are allowed and carry nothing.
        HeaderList parsed = request->http.headers;
        std::size_t start = 0;
        while (start < block.size()) {
            std::size_t end = block.find("\r\n", start);
            if (end == Text::npos) {
                end = block.size();
            }
            const std::string_view line(block.data() + start, end - start);
            start = end + 2;
            if (line.empty()) {
                continue;
            }
            const std::size_t colon = line.find(':');
            std::string_view name = line.substr(0, colon == std::string_view::npos ? 0 : colon);
            while (!name.empty() && name.back() == ' ') {
                name.remove_suffix(1);
            }
            if (colon == std::string_view::npos || name.empty() ||
                name.find_first_of(" \t") != std::string_view::npos) {
                return false;
            }
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
                value.remove_prefix(1);
            }
            parsed.set(name, value);
        }
        request->http.headers = std::move(parsed);
        return true;
    }

    bool WinHttpSendRequest(HInternet handle, std::string_view body) override {
        auto* request = find<Request>(handle);
        if (request == nullptr || request->sent) {
            return false;
        }
        request->sent = true;
        request->http.body = std::string(body);
        request->http.maxBodyBytes = m_maxBodyBytes;
        request->http.bodySink = [queue = request->body](const HttpBodyPiece& piece) {
            queue->append(piece.bytes);
            return true;
        };
        request->response = performHttpExchange(request->http);
        return request->response->failure != HttpFailurePhase::Send;
    }

    bool WinHttpReceiveResponse(HInternet handle) override {
        auto* request = find<Request>(handle);
        if (request == nullptr || !request->response ||
            request->response->failure == HttpFailurePhase::Send ||
            request->response->failure == HttpFailurePhase::Receive) {
            return false;
        }
        request->received = true;
        return true;
    }

    bool WinHttpQueryDataAvailable(HInternet handle, std::uint32_t& available) override {
        auto* request = find<Request>(handle);
        if (request == nullptr || !request->received) {
            return false;
        }
        const std::size_t remaining = request->body->frontAvailable();
        if (remaining == 0 && request->response->failure == HttpFailurePhase::Read) {
            // The transport still expects data; the read that follows reports the loss.
            available = 1;
            return true;
        }
        available = static_cast<std::uint32_t>(std::min<std::size_t>(remaining, kChunkSize));
        return true;
    }

    bool WinHttpReadData(HInternet handle, std::uint8_t* buffer, std::uint32_t toRead,
                         std::uint32_t& read) override {
        auto* request = find<Request>(handle);
        read = 0;
        if (request == nullptr || !request->received) {
            return false;
        }
        if (request->body->frontAvailable() == 0) {
            return request->response->failure != HttpFailurePhase::Read;
        }
        read = static_cast<std::uint32_t>(request->body->read(buffer, toRead));
        return true;
    }

    bool WinHttpQueryHeaders(HInternet handle, std::uint32_t infoLevel, std::uint8_t* buffer,
                             std::uint32_t& bufferLength, std::uint32_t& index) override {
        auto* request = find<Request>(handle);
        if (request == nullptr || !request->received || infoLevel != WINHTTP_QUERY_RAW_HEADERS_CRLF ||
            index != 0) {
            return false;
        }
        const ByteSet block = TextToUtf16(request->response->rawHeaders);
        const auto needed = static_cast<std::uint32_t>(block.empty() ? 2 : block.size());
        if (buffer == nullptr || bufferLength < needed) {
            bufferLength = needed;
            return false;
        }
        std::memset(buffer, 0, needed);
        std::copy(block.begin(), block.end(), buffer);
        bufferLength = needed - 2;
        return true;
    }

    void WinHttpCloseHandle(HInternet handle) override { m_handles.erase(handle); }

  private:
    using Object = std::variant<Session, Connection, Request>;

    HInternet add(Object object) {
        const HInternet handle = m_nextHandle++;
        m_handles.emplace(handle, std::move(object));
        return handle;
    }

    template <class T>
    T* find(HInternet handle) {
        const auto found = m_handles.find(handle);
        return found == m_handles.end() ? nullptr : std::get_if<T>(&found->second);
    }

    std::uint64_t m_maxBodyBytes;
    std::map<HInternet, Object> m_handles;
    HInternet m_nextHandle = 1;
};

}  // namespace

std::unique_ptr<WinHttpApi> makeEngineWinHttpApi(std::uint64_t maxBodyBytes) {
    return std::make_unique<EngineWinHttpApi>(maxBodyBytes);
}

}  // namespace tarlowen
