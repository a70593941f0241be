#include "platform/http_engine.hpp"

#include <curl/curl.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <new>

#include "platform/code_page.hpp"
#include "platform/message_pump.hpp"
#include "text/ascii_case.hpp"

namespace tarlowen {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMaxRedirects = 10;
// A Content-Length above this reserves only this much up front; the rest grows as bytes arrive, so a
// lying or absurd header cannot make us ask for an absurd allocation before any byte has arrived.
constexpr std::uint64_t kMaxReservation = std::uint64_t{1} << 30;

// A large body is written once, front to back, into its reserved buffer. Transparent huge pages for
// that buffer turn the half a million page faults of a 256 MiB download into a few hundred, which
// was most of the time such a download took beyond the transfer itself. Only the 2 MiB-aligned
// inside of the buffer can be advised; small bodies are left alone.
void adviseHugePages(const ByteSet& body) {
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    if (body.capacity() < 8 * kHugePage) {
        return;
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(body.data());
    const std::uintptr_t alignedBegin = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t alignedEnd = (begin + body.capacity()) & ~(kHugePage - 1);
    if (alignedEnd > alignedBegin) {
        // Advice only: a kernel without huge pages simply ignores it.
        static_cast<void>(
            madvise(reinterpret_cast<void*>(alignedBegin), alignedEnd - alignedBegin, MADV_HUGEPAGE));
    }
}

// How often the poll loop gives the program its heartbeat (KeepTransferGoing): well inside the 100 ms
// the window may wait for it, whatever the transfer is doing.
constexpr auto kHeartbeatInterval = std::chrono::milliseconds(50);
// The body of a redirect we follow is read and dropped; a longer one is not waited for.
constexpr std::uint64_t kMaxDiscardedRedirectBody = std::uint64_t{64} << 10;
// The status line and header lines of one response together; a server that sends more is not
// answering, it is filling our memory.
constexpr std::size_t kMaxResponseHead = std::size_t{256} << 10;

// The speed floor: a response arriving slower than this on average over the window ends the
// exchange. Atomic so a test may shorten it while no exchange runs, on any thread.
std::atomic<std::int64_t> speedFloorWindowMs{kDefaultSpeedFloor.window.count()};
std::atomic<std::uint64_t> speedFloorBytesPerSecond{kDefaultSpeedFloor.bytesPerSecond};

// libcurl's largest receive buffer: fewer, larger writes into the body for big downloads.
constexpr long kReceiveBufferSize = 512L * 1024;
// The longest curl_multi_poll wait: the heartbeat falls due this often at the latest.
constexpr int kPollSliceMs = static_cast<int>(kHeartbeatInterval.count());
// curl's own connect limit is a total, not an idle limit; ours are enforced by the poll loop, so
// curl's is pushed out of the way (0 would mean curl's default of 300 s).
constexpr long kCurlConnectTimeoutMs = std::numeric_limits<int>::max();
// The request head we scan for its end is small; stop collecting past this.
constexpr std::size_t kMaxOutgoingHead = std::size_t{1} << 20;

[[nodiscard]] std::string_view trimmed(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The value of a "Name: value" line when its name is `name`, trimmed; nullopt for another name.
[[nodiscard]] std::optional<std::string_view> headerValue(std::string_view line, std::string_view name) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || !equalsIgnoringAsciiCase(trimmed(line.substr(0, colon)), name)) {
        return std::nullopt;
    }
    return trimmed(line.substr(colon + 1));
}

[[nodiscard]] std::optional<std::uint64_t> parseCount(std::string_view digits) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc{} || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

[[nodiscard]] bool curlReady() {
    // A function-local static is initialised once even when several threads arrive together.
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

// The proxy for an address of the given scheme from a list of "host:port" (every scheme) and
// "scheme=host:port" entries separated by ';' or white space; "" when the address goes direct.
[[nodiscard]] std::string proxyFor(std::string_view list, bool https) {
    std::string_view general;
    std::string_view specific;
    while (!list.empty()) {
        const auto end = list.find_first_of("; \t\r\n");
        const std::string_view entry = list.substr(0, end);
        list = end == std::string_view::npos ? std::string_view{} : list.substr(end + 1);
        if (entry.empty()) {
            continue;
        }
        const auto equals = entry.find('=');
        if (equals == std::string_view::npos) {
            if (general.empty()) {
                general = entry;
            }
        } else if (specific.empty() &&
                   equalsIgnoringAsciiCase(entry.substr(0, equals), https ? "https" : "http")) {
            specific = entry.substr(equals + 1);
        }
    }
    const std::string_view chosen = specific.empty() ? general : specific;
    if (chosen.empty()) {
        return {};
    }
    // Without a scheme the proxy is a plain HTTP proxy; say so rather than let curl guess.
    return chosen.find("://") == std::string_view::npos ? "http://" + std::string(chosen)
                                                        : std::string(chosen);
}

// The redirects the transport follows by itself. 300 (a choice for the user to make), 304 (a cache
// answer) and 305 (use a proxy) are answers, whatever Location they carry.
[[nodiscard]] bool isFollowedRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

[[nodiscard]] bool holdsLineBreakOrZero(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// Scheme, host and port of an absolute address, lower-cased where case does not matter; "" when it
// cannot be parsed.
[[nodiscard]] std::string originOf(const std::string& url) {
    const std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        return {};
    }
    std::string origin;
    for (const CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
        char* value = nullptr;
        if (curl_url_get(handle.get(), part, &value, CURLU_DEFAULT_PORT) != CURLUE_OK || value == nullptr) {
            return {};
        }
        origin += lowerAscii(value);
        origin += '|';
        curl_free(value);
    }
    return origin;
}

// `location` resolved against the absolute address `base`, the way curl itself follows one; "" when
// it cannot be. Any scheme comes back, so the caller decides which it follows.
[[nodiscard]] std::string resolvedAgainst(const std::string& base, const std::string& location) {
    const std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    constexpr unsigned int kFlags =
        CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE | CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS;
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, base.c_str(), kFlags) != CURLUE_OK ||
        curl_url_set(handle.get(), CURLUPART_URL, location.c_str(), kFlags) != CURLUE_OK) {
        return {};
    }
    char* resolved = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_URL, &resolved, 0) != CURLUE_OK || resolved == nullptr) {
        return {};
    }
    std::string result = resolved;
    curl_free(resolved);
    return result;
}

// What the transfer is doing right now; it picks the idle limit that applies.
enum class Activity { Resolving, Connecting, Sending, Waiting, Reading };

// The state one exchange shares with curl's callbacks.
struct Exchange {
    Exchange(const HttpRequest& forRequest, CURL* handle, bool head)
        : request(forRequest), easy(handle), headOnly(head) {}

    const HttpRequest& request;
    CURL* easy;
    bool headOnly;

    Activity activity = Activity::Resolving;
    // The phase a failure is reported in; it only moves forward, so a failure after a redirect is
    // still reported while waiting for the response, whatever the transport is doing at that moment.
    HttpFailurePhase reached = HttpFailurePhase::Send;
    Clock::time_point lastProgress = Clock::now();
    std::string abortReason;  // set when a callback stops the transfer

    // The request being sent: its head until the blank line, then a count of body bytes.
    std::string outgoingHead;
    bool outgoingHeadDone = false;
    std::uint64_t outgoingBodyExpected = 0;
    std::uint64_t outgoingBodySent = 0;

    // The response header block being received.
    bool inBlock = false;
    std::string block;
    int blockStatus = 0;
    bool blockHasLocation = false;
    bool blockLocationIsHttp = false;
    std::string blockLocation;
    bool blockTransferCoded = false;
    std::optional<std::uint64_t> blockContentLength;
    bool finalSeen = false;
    // What the final response announced as its body's length; nullopt when none or transfer-coded.
    std::optional<std::uint64_t> finalContentLength;
    std::uint64_t bodyBytes = 0;  // of the final response's body, kept or passed to the sink

    // A followed redirect ended the current response; the loop starts the next request.
    bool redirectPending = false;
    std::uint64_t discardedBytes = 0;
    std::size_t headBytes = 0;  // of the response head being received

    // The speed floor: bytes received since the first byte of the current response, sampled about
    // once a second so the average over any window can be checked.
    std::optional<Clock::time_point> responseStart;
    std::uint64_t receivedBytes = 0;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples;

    HttpResponse response;

    void noteProgress() { lastProgress = Clock::now(); }

    void noteReceived(std::size_t bytes) {
        if (!responseStart) {
            responseStart = Clock::now();
            samples.clear();
            samples.emplace_back(*responseStart, 0);
        }
        receivedBytes += bytes;
    }

    // True when less than the floor's share arrived over the last full window of the response.
    [[nodiscard]] bool belowSpeedFloor(Clock::time_point now, std::chrono::milliseconds window,
                                       std::uint64_t bytesPerSecond) {
        if (!responseStart || window.count() <= 0) {
            return false;
        }
        const auto sampleGap = std::max<Clock::duration>(window / 30, std::chrono::milliseconds(1));
        if (now - samples.back().first >= sampleGap) {
            samples.emplace_back(now, receivedBytes);
        }
        if (now - *responseStart < window) {
            return false;
        }
        // The latest sample at least a window old is where the window starts; older ones can go.
        while (samples.size() > 1 && now - samples[1].first >= window) {
            samples.pop_front();
        }
        const auto windowMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - samples.front().first);
        const std::uint64_t needed = bytesPerSecond * static_cast<std::uint64_t>(windowMs.count()) / 1000;
        return receivedBytes - samples.front().second < needed;
    }

    // Ready for the next request of a redirect chain, on the same handle.
    void startNextRequest() {
        redirectPending = false;
        discardedBytes = 0;
        headBytes = 0;
        inBlock = false;
        responseStart.reset();
        receivedBytes = 0;
        activity = Activity::Waiting;  // until the next connection opens, the receive limit applies
        noteProgress();
    }

    void reach(HttpFailurePhase phase) {
        if (static_cast<int>(phase) > static_cast<int>(reached)) {
            reached = phase;
        }
    }

    [[nodiscard]] int idleLimitMs() const {
        switch (activity) {
            case Activity::Resolving:
                return request.timeouts.resolveMs;
            case Activity::Connecting:
                return request.timeouts.connectMs;
            case Activity::Sending:
                return request.timeouts.sendMs;
            case Activity::Waiting:
            case Activity::Reading:
                return request.timeouts.receiveMs;
        }
        return 0;
    }

    [[nodiscard]] const char* activityName() const {
        switch (activity) {
            case Activity::Resolving:
                return "resolving the host name";
            case Activity::Connecting:
                return "connecting";
            case Activity::Sending:
                return "sending the request";
            case Activity::Waiting:
                return "waiting for the response headers";
            case Activity::Reading:
                return "reading the response body";
        }
        return "";
    }

    void startRequest() {
        activity = Activity::Sending;
        outgoingHead.clear();
        outgoingHeadDone = false;
        outgoingBodyExpected = 0;
        outgoingBodySent = 0;
    }

    void requestSent() {
        if (activity == Activity::Sending) {
            activity = Activity::Waiting;
        }
        reach(HttpFailurePhase::Receive);
    }

    // Bytes curl wrote for the request: the head up to its blank line, then Content-Length bytes.
    void noteOutgoing(std::string_view bytes) {
        if (activity != Activity::Sending) {
            return;  // a proxy CONNECT before the connection is ready, or a late body byte
        }
        if (!outgoingHeadDone) {
            const std::size_t scanFrom = outgoingHead.size() >= 3 ? outgoingHead.size() - 3 : 0;
            outgoingHead.append(bytes);
            const auto end = outgoingHead.find("\r\n\r\n", scanFrom);
            if (end == std::string::npos) {
                if (outgoingHead.size() > kMaxOutgoingHead) {
                    requestSent();
                }
                return;
            }
            outgoingHeadDone = true;
            std::string_view head(outgoingHead.data(), end + 2);
            while (!head.empty()) {
                const auto lineEnd = head.find("\r\n");
                if (const auto value = headerValue(head.substr(0, lineEnd), "Content-Length")) {
                    outgoingBodyExpected = parseCount(*value).value_or(0);
                }
                head.remove_prefix(lineEnd + 2);
            }
            outgoingBodySent = outgoingHead.size() - (end + 4);
            outgoingHead.clear();
        } else {
            outgoingBodySent += bytes.size();
        }
        if (outgoingBodySent >= outgoingBodyExpected) {
            requestSent();
        }
    }

    // One line of a response head as curl hands it over, line end included. Returns false to stop
    // the transfer.
    bool takeHeaderLine(std::string_view line) {
        if (finalSeen) {
            return true;  // trailers after a chunked body are not part of the header block
        }
        headBytes += line.size();
        if (headBytes > kMaxResponseHead) {
            abortReason =
                "the response headers are longer than " + std::to_string(kMaxResponseHead) + " bytes";
            return false;
        }
        if (activity == Activity::Sending) {
            activity = Activity::Waiting;  // the server answered before taking the whole request
        }
        reach(HttpFailurePhase::Receive);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        if (!inBlock) {
            startBlock(line);
        } else if (line.empty()) {
            block.append("\r\n");
            inBlock = false;
            return endBlock();
        } else {
            noteHeaderField(line);
        }
        block.append(line).append("\r\n");
        return true;
    }

    void startBlock(std::string_view statusLine) {
        inBlock = true;
        block.clear();
        blockStatus = 0;
        blockHasLocation = false;
        blockLocationIsHttp = false;
        blockLocation.clear();
        blockTransferCoded = false;
        blockContentLength.reset();
        // "HTTP/1.1 200 OK": the code is the second word.
        const auto space = statusLine.find(' ');
        if (space != std::string_view::npos) {
            const std::string_view rest = statusLine.substr(space + 1);
            blockStatus = static_cast<int>(parseCount(rest.substr(0, rest.find(' '))).value_or(0));
        }
    }

    void noteHeaderField(std::string_view line) {
        if (const auto location = headerValue(line, "Location")) {
            if (!blockHasLocation && !location->empty()) {
                blockHasLocation = true;
                blockLocationIsHttp = startsWithIgnoringAsciiCase(*location, "http:");
                blockLocation.assign(*location);
            }
        } else if (const auto length = headerValue(line, "Content-Length")) {
            if (!blockContentLength) {
                blockContentLength = parseCount(*length);
            }
        } else if (headerValue(line, "Transfer-Encoding")) {
            blockTransferCoded = true;  // its length is not the Content-Length
        }
    }

    bool endBlock() {
        const bool informational = blockStatus >= 100 && blockStatus < 200;
        const bool followed = request.followRedirects && isFollowedRedirect(blockStatus) && blockHasLocation;
        if (followed && blockLocationIsHttp && currentRequestIsHttps()) {
            abortReason = "a redirect from https to http is not followed";
            return false;
        }
        if (informational) {
            headBytes = 0;
            activity = Activity::Waiting;  // another response head follows
            return true;
        }
        if (followed) {
            // The loop sends the next request once this response is over; its body is dropped.
            redirectPending = true;
            activity = Activity::Waiting;
            return true;
        }
        finalSeen = true;
        activity = Activity::Reading;
        reach(HttpFailurePhase::Read);
        response.status = blockStatus;
        response.rawHeaders = std::move(block);
        response.body.clear();
        bodyBytes = 0;
        finalContentLength = blockTransferCoded ? std::nullopt : blockContentLength;
        const bool bodyless = headOnly || blockStatus == 204 || blockStatus == 304;
        if (!bodyless && !request.bodySink && finalContentLength) {
            std::uint64_t reservation = std::min(*finalContentLength, kMaxReservation);
            if (request.maxBodyBytes != 0) {
                reservation = std::min(reservation, request.maxBodyBytes);
            }
            try {
                response.body.reserve(static_cast<std::size_t>(reservation));
                adviseHugePages(response.body);
            } catch (const std::exception&) {
                // Not fatal: the body then grows as it arrives, and fails only if that fails too.
            }
        }
        return true;
    }

    // Bytes of the final response's body: kept, or handed to the sink. Returns false to stop the
    // transfer (the limit was passed, or the sink refused), with the reason noted.
    bool takeBody(std::span<const std::uint8_t> bytes) {
        if (!finalSeen) {
            // The body of a redirect being followed: nobody wants it, and a long one is not waited for.
            discardedBytes += bytes.size();
            return discardedBytes <= kMaxDiscardedRedirectBody;
        }
        bool overLimit = false;
        if (request.maxBodyBytes != 0 && bytes.size() > request.maxBodyBytes - bodyBytes) {
            bytes = bytes.first(static_cast<std::size_t>(request.maxBodyBytes - bodyBytes));
            overLimit = true;
        }
        if (request.bodySink) {
            if (!bytes.empty() && !request.bodySink(HttpBodyPiece{blockStatus, finalContentLength, bytes})) {
                abortReason = "the receiver of the body stopped the transfer";
                return false;
            }
        } else {
            response.body.insert(response.body.end(), bytes.begin(), bytes.end());
        }
        bodyBytes += bytes.size();
        if (overLimit) {
            abortReason =
                "the body is longer than the " + std::to_string(request.maxBodyBytes) + " bytes allowed";
            return false;
        }
        return true;
    }

    [[nodiscard]] bool currentRequestIsHttps() const {
        char* scheme = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_SCHEME, &scheme) != CURLE_OK || scheme == nullptr) {
            return false;
        }
        return equalsIgnoringAsciiCase(scheme, "https");
    }
};

// curl's callbacks: each notes progress, and none lets an exception escape into C code.

int onSocketOptions(void* clientp, curl_socket_t /*socket*/, curlsocktype purpose) {
    auto& exchange = *static_cast<Exchange*>(clientp);
    if (purpose == CURLSOCKTYPE_IPCXN && exchange.activity != Activity::Reading) {
        exchange.activity = Activity::Connecting;
    }
    exchange.noteProgress();
    return CURL_SOCKOPT_OK;
}

int onConnected(void* clientp, char* /*primaryIp*/, char* /*localIp*/, int /*primaryPort*/,
                int /*localPort*/) {
    auto& exchange = *static_cast<Exchange*>(clientp);
    exchange.startRequest();
    exchange.noteProgress();
    return CURL_PREREQFUNC_OK;
}

int onTrace(CURL* /*easy*/, curl_infotype type, char* data, size_t size, void* clientp) {
    auto& exchange = *static_cast<Exchange*>(clientp);
    try {
        switch (type) {
            case CURLINFO_HEADER_OUT:
            case CURLINFO_DATA_OUT:
                exchange.noteProgress();
                exchange.noteOutgoing(std::string_view(data, size));
                break;
            case CURLINFO_HEADER_IN:
            case CURLINFO_DATA_IN:
                exchange.noteProgress();
                exchange.noteReceived(size);
                break;
            case CURLINFO_SSL_DATA_IN:
            case CURLINFO_SSL_DATA_OUT:
                exchange.noteProgress();
                break;
            default:
                break;  // curl's own remarks move no bytes
        }
    } catch (const std::exception&) {
        exchange.requestSent();  // could not follow the request head: assume it went out
    }
    return 0;
}

size_t onHeader(char* data, size_t size, size_t count, void* userdata) {
    auto& exchange = *static_cast<Exchange*>(userdata);
    const size_t length = size * count;
    exchange.noteProgress();
    try {
        return exchange.takeHeaderLine(std::string_view(data, length)) ? length : 0;
    } catch (const std::exception&) {
        exchange.abortReason = "out of memory while storing the response headers";
        return 0;
    }
}

size_t onBody(char* data, size_t size, size_t count, void* userdata) {
    auto& exchange = *static_cast<Exchange*>(userdata);
    const size_t length = size * count;
    exchange.noteProgress();
    try {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
        return exchange.takeBody(std::span<const std::uint8_t>(bytes, length)) ? length : 0;
    } catch (const std::bad_alloc&) {
        exchange.abortReason = "out of memory while storing the response body";
        return 0;
    } catch (...) {
        // The sink is the caller's code: whatever it throws ends the exchange, never crosses into C.
        exchange.abortReason = "the receiver of the body failed";
        return 0;
    }
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderSlist = std::unique_ptr<curl_slist, ListDeleter>;

// Keeps the first failing setopt, so configuration reads as a list and is checked once.
class OptionSetter {
  public:
    explicit OptionSetter(CURL* easy) : m_easy(easy) {}

    template <class Value>
    void operator()(CURLoption option, Value value) {
        if (m_result == CURLE_OK) {
            m_result = curl_easy_setopt(m_easy, option, value);
        }
    }
    [[nodiscard]] CURLcode result() const { return m_result; }

  private:
    CURL* m_easy;
    CURLcode m_result = CURLE_OK;
};

[[nodiscard]] bool appendHeader(HeaderSlist& list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) {
        return false;
    }
    (void)list.release();
    list.reset(grown);
    return true;
}

// The header list curl sends: ours in order, and blank entries that take out what curl would add
// by itself. A header with an empty value is written "Name;" so curl sends it instead of removing it.
// Away from the first address's origin, our Authorization and Cookie headers stay behind.
[[nodiscard]] HeaderSlist buildHeaderList(const HttpRequest& request, bool usesBody, bool sameOrigin,
                                          bool& ok) {
    HeaderSlist list;
    ok = true;
    for (const auto& [name, value] : request.headers.entries()) {
        if (request.cookieEngine && equalsIgnoringAsciiCase(name, "Cookie")) {
            continue;  // joins the engine's cookies in one line (see CURLOPT_COOKIE below)
        }
        if (!sameOrigin &&
            (equalsIgnoringAsciiCase(name, "Authorization") || equalsIgnoringAsciiCase(name, "Cookie"))) {
            continue;
        }
        ok = ok && appendHeader(list, value.empty() ? name + ";" : name + ": " + value);
    }
    if (!request.headers.find("Accept")) {
        ok = ok && appendHeader(list, "Accept:");
    }
    if (!request.headers.find("Expect")) {
        ok = ok && appendHeader(list, "Expect:");
    }
    if (usesBody && !request.headers.find("Content-Type")) {
        ok = ok && appendHeader(list, "Content-Type:");
    }
    return list;
}

HttpResponse failedBeforeStart(std::string detail) {
    HttpResponse response;
    response.failure = HttpFailurePhase::Send;
    response.failureDetail = std::move(detail);
    return response;
}

// Whether the next request of a redirect chain drops the body and turns into a GET: after 303 for
// every method but HEAD, after 301 and 302 for POST alone (as browsers do). Every other method, and
// every method after 307 and 308, goes out again as it was, body included.
[[nodiscard]] bool redirectTurnsIntoGet(int status, std::string_view method) {
    if (method == "HEAD") {
        return false;
    }
    return status == 303 || ((status == 301 || status == 302) && method == "POST");
}

HttpResponse exchange(const HttpRequest& request) {
    if (!curlReady()) {
        return failedBeforeStart("the transfer library could not be initialised");
    }
    if (!KeepTransferGoing()) {
        return failedBeforeStart("the program is closing");
    }
    // The fragment belongs to the address, not to the request.
    const std::string url = request.url.substr(0, request.url.find('#'));
    const bool https = startsWithIgnoringAsciiCase(url, "https://");
    if (!https && !startsWithIgnoringAsciiCase(url, "http://")) {
        return failedBeforeStart("only http and https addresses are supported");
    }
    // A line break in the address or a header would end the line it stands in and start another
    // the caller never wrote.
    if (std::any_of(url.begin(), url.end(),
                    [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; })) {
        return failedBeforeStart("the address holds a blank or a control character");
    }
    for (const auto& [name, value] : request.headers.entries()) {
        if (holdsLineBreakOrZero(name) || holdsLineBreakOrZero(value)) {
            return failedBeforeStart("a request header holds a line break or a zero byte");
        }
    }
    const std::string firstOrigin = originOf(url);
    if (firstOrigin.empty()) {
        return failedBeforeStart("the address cannot be parsed");
    }

    const EasyHandle easy(curl_easy_init());
    const MultiHandle multi(curl_multi_init());
    if (!easy || !multi) {
        return failedBeforeStart("the transfer library could not create a transfer");
    }

    std::string method = request.method.empty() ? std::string("GET") : request.method;
    const bool headOnly = method == "HEAD";
    bool usesBody = !headOnly && (!request.body.empty() || method == "POST");
    const std::string proxy = proxyFor(request.proxyList, https);
    bool headersOk = false;
    HeaderSlist headers = buildHeaderList(request, usesBody, true, headersOk);
    // Headers for the proxy alone: they go with a CONNECT (instead of ours) and with a request in
    // absolute form (besides ours). curl would add a Proxy-Connection of its own to both.
    HeaderSlist proxyHeaders;
    headersOk = headersOk && appendHeader(proxyHeaders, "Proxy-Connection:");
    if (!headersOk) {
        return failedBeforeStart("out of memory while preparing the request headers");
    }

    Exchange state(request, easy.get(), headOnly);
    char errorText[CURL_ERROR_SIZE] = {};

    OptionSetter set(easy.get());
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(CURLOPT_PATH_AS_IS, 1L);  // the path goes out as written, dot segments included
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_ERRORBUFFER, errorText);
    set(CURLOPT_HTTPHEADER, headers.get());
    set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    set(CURLOPT_HTTP09_ALLOWED, 0L);
    set(CURLOPT_TIMEOUT_MS, 0L);
    set(CURLOPT_CONNECTTIMEOUT_MS, kCurlConnectTimeoutMs);

    if (usesBody) {
        set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        set(CURLOPT_POSTFIELDS, request.body.data());
        if (method != "POST") {
            set(CURLOPT_CUSTOMREQUEST, method.c_str());
        }
    } else if (headOnly) {
        set(CURLOPT_NOBODY, 1L);
    } else if (method != "GET") {
        set(CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    if (request.serverCredentials) {
        set(CURLOPT_HTTPAUTH, static_cast<unsigned long>(CURLAUTH_BASIC));
        set(CURLOPT_USERNAME, request.serverCredentials->user.c_str());
        set(CURLOPT_PASSWORD, request.serverCredentials->password.c_str());
    }
    // "" keeps the environment's proxy variables out; an empty no-proxy list keeps no_proxy out.
    set(CURLOPT_PROXY, proxy.c_str());
    set(CURLOPT_NOPROXY, "");
    set(CURLOPT_PROXYHEADER, proxyHeaders.get());
    set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    if (!proxy.empty() && request.proxyCredentials) {
        set(CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_BASIC));
        set(CURLOPT_PROXYUSERNAME, request.proxyCredentials->user.c_str());
        set(CURLOPT_PROXYPASSWORD, request.proxyCredentials->password.c_str());
    }

    // Redirects are followed by the loop below, not by curl, so which statuses are followed and what
    // each does to the method and the body are ours to decide.
    set(CURLOPT_FOLLOWLOCATION, 0L);
    const std::optional<std::string> ourCookies = request.headers.find("Cookie");
    if (request.cookieEngine) {
        set(CURLOPT_COOKIEFILE, "");  // engine on, nothing read from disk, nothing kept afterwards
        // Beside the engine's cookies ours would make a second Cookie line; given to curl this way,
        // both go out in one.
        if (ourCookies && !ourCookies->empty()) {
            set(CURLOPT_COOKIE, ourCookies->c_str());
        }
    }
    if (!request.verifyTls) {
        set(CURLOPT_SSL_VERIFYPEER, 0L);
        set(CURLOPT_SSL_VERIFYHOST, 0L);
    }

    set(CURLOPT_SOCKOPTFUNCTION, &onSocketOptions);
    set(CURLOPT_SOCKOPTDATA, &state);
    set(CURLOPT_PREREQFUNCTION, &onConnected);
    set(CURLOPT_PREREQDATA, &state);
    // The trace is how the engine sees the request leave and bytes move; curl's remarks are dropped.
    set(CURLOPT_DEBUGFUNCTION, &onTrace);
    set(CURLOPT_DEBUGDATA, &state);
    set(CURLOPT_VERBOSE, 1L);
    set(CURLOPT_HEADERFUNCTION, &onHeader);
    set(CURLOPT_HEADERDATA, &state);
    set(CURLOPT_WRITEFUNCTION, &onBody);
    set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    set(CURLOPT_WRITEDATA, &state);
    if (set.result() != CURLE_OK) {
        return failedBeforeStart(curl_easy_strerror(set.result()));
    }

    if (curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK) {
        return failedBeforeStart("the transfer library could not start the transfer");
    }
    state.noteProgress();

    const std::chrono::milliseconds floorWindow(speedFloorWindowMs.load());
    const std::uint64_t floorRate = speedFloorBytesPerSecond.load();
    std::string currentUrl = url;
    bool sameOrigin = true;
    long redirects = 0;
    CURLcode result = CURLE_OK;
    std::string loopFailure;
    auto lastBeat = Clock::now();
    for (;;) {
        int running = 0;
        CURLMcode multiResult = curl_multi_perform(multi.get(), &running);
        if (multiResult == CURLM_OK && running == 0) {
            int queued = 0;
            while (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
                if (message->msg == CURLMSG_DONE) {
                    result = message->data.result;
                }
            }
            if (!state.redirectPending || (result != CURLE_OK && result != CURLE_WRITE_ERROR)) {
                break;
            }
            // A redirect we follow: the next request goes out on the same handle, so the cookie
            // engine and open connections carry over.
            const std::string next = resolvedAgainst(currentUrl, state.blockLocation);
            if (next.empty()) {
                loopFailure = "the redirect's Location cannot be followed";
                break;
            }
            const bool nextHttps = startsWithIgnoringAsciiCase(next, "https://");
            if (!nextHttps && !startsWithIgnoringAsciiCase(next, "http://")) {
                loopFailure = "a redirect to an address other than http or https is not followed";
                break;
            }
            if (!nextHttps && startsWithIgnoringAsciiCase(currentUrl, "https://")) {
                loopFailure = "a redirect from https to http is not followed";
                break;
            }
            if (++redirects > kMaxRedirects) {
                loopFailure = "more than " + std::to_string(kMaxRedirects) + " redirects";
                break;
            }
            if (redirectTurnsIntoGet(state.blockStatus, method)) {
                method = "GET";
                usesBody = false;
                set(CURLOPT_HTTPGET, 1L);
                set(CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
            }
            const bool nextSameOrigin = originOf(next) == firstOrigin;
            if (nextSameOrigin != sameOrigin) {
                sameOrigin = nextSameOrigin;
                headers = buildHeaderList(request, usesBody, sameOrigin, headersOk);
                if (!headersOk) {
                    loopFailure = "out of memory while preparing the request headers";
                    break;
                }
                set(CURLOPT_HTTPHEADER, headers.get());
                // Credentials belong to the server they were given for.
                if (request.serverCredentials) {
                    const char* const noCredential = nullptr;
                    set(CURLOPT_USERNAME,
                        sameOrigin ? request.serverCredentials->user.c_str() : noCredential);
                    set(CURLOPT_PASSWORD,
                        sameOrigin ? request.serverCredentials->password.c_str() : noCredential);
                }
            }
            currentUrl = next;
            set(CURLOPT_URL, currentUrl.c_str());
            curl_multi_remove_handle(multi.get(), easy.get());
            if (set.result() != CURLE_OK || curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK) {
                loopFailure = "the transfer library could not follow the redirect";
                break;
            }
            result = CURLE_OK;
            errorText[0] = '\0';
            state.startNextRequest();
            continue;
        }
        const auto now = Clock::now();
        if (now - lastBeat >= kHeartbeatInterval) {
            lastBeat = now;
            if (!KeepTransferGoing()) {
                loopFailure = "the program is closing";
                break;
            }
        }
        if (multiResult == CURLM_OK && state.belowSpeedFloor(now, floorWindow, floorRate)) {
            loopFailure = "less than " + std::to_string(floorRate) + " bytes a second arrived over " +
                          std::to_string(floorWindow.count()) + " ms";
            break;
        }
        int waitMs = kPollSliceMs;
        const int limitMs = state.idleLimitMs();
        if (multiResult == CURLM_OK && limitMs > 0) {
            const auto idleMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - state.lastProgress).count();
            if (idleMs >= limitMs) {
                loopFailure =
                    "no progress for " + std::to_string(limitMs) + " ms while " + state.activityName();
                break;
            }
            waitMs = std::min(waitMs, static_cast<int>(limitMs - idleMs));
        }
        if (multiResult == CURLM_OK) {
            multiResult = curl_multi_poll(multi.get(), nullptr, 0, waitMs, nullptr);
        }
        if (multiResult != CURLM_OK) {
            loopFailure = curl_multi_strerror(multiResult);
            break;
        }
    }
    curl_multi_remove_handle(multi.get(), easy.get());

    HttpResponse response = std::move(state.response);
    if (loopFailure.empty() && result == CURLE_OK && !state.finalSeen) {
        loopFailure = "the transfer ended without a response";
        state.reach(HttpFailurePhase::Receive);
    }
    if (!loopFailure.empty() || result != CURLE_OK) {
        response.failure = state.reached;
        if (!loopFailure.empty()) {
            response.failureDetail = std::move(loopFailure);
        } else if (!state.abortReason.empty()) {
            response.failureDetail = std::move(state.abortReason);
        } else {
            response.failureDetail = errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
        }
        if (response.failure != HttpFailurePhase::Read) {
            // No final response arrived: whatever was collected belonged to an earlier one.
            response.status = 0;
            response.rawHeaders.clear();
            response.body.clear();
        }
    }
    return response;
}

}  // namespace

void HeaderList::set(std::string_view name, std::string_view value) {
    for (auto& [existingName, existingValue] : m_entries) {
        if (equalsIgnoringAsciiCase(existingName, name)) {
            existingValue.assign(value);
            return;
        }
    }
    m_entries.emplace_back(std::string(name), std::string(value));
}

std::optional<std::string> HeaderList::find(std::string_view name) const {
    for (const auto& [existingName, existingValue] : m_entries) {
        if (equalsIgnoringAsciiCase(existingName, name)) {
            return existingValue;
        }
    }
    return std::nullopt;
}

HttpSpeedFloor setHttpSpeedFloorForTests(HttpSpeedFloor floor) {
    const HttpSpeedFloor previous{
        std::chrono::milliseconds(speedFloorWindowMs.exchange(floor.window.count())),
        speedFloorBytesPerSecond.exchange(floor.bytesPerSecond)};
    return previous;
}

HttpResponse performHttpExchange(const HttpRequest& request) noexcept {
    try {
        return exchange(request);
    } catch (const std::exception& error) {
        // Only allocation can throw here; a response that says so still fits, or terminate follows.
        return failedBeforeStart(error.what());
    }
}

std::string wireForm(std::u16string_view address) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string wire;
    for (const char byte : utf16ToUtf8(address)) {
        const auto value = static_cast<unsigned char>(byte);
        if (value <= 0x20 || value >= 0x7F) {
            wire.push_back('%');
            wire.push_back(kHex[value >> 4]);
            wire.push_back(kHex[value & 0x0F]);
        } else {
            wire.push_back(byte);
        }
    }
    return wire;
}

}  // namespace tarlowen
