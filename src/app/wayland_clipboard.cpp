#include "app/wayland_clipboard.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/protocols/ext-data-control-v1-client.h"
#include "app/protocols/wlr-data-control-unstable-v1-client.h"
#include "platform/code_page.hpp"

namespace tarlowen {

namespace {

using Clock = std::chrono::steady_clock;

// The text types we read, best first. Wayland programs offer the first; XWayland offers the X11
// names for text copied in X11 programs. All are read as UTF-8 (a link is ASCII anyway).
constexpr std::array<std::string_view, 5> kTextTypes{"text/plain;charset=utf-8", "UTF8_STRING", "text/plain",
                                                     "TEXT", "STRING"};

[[nodiscard]] int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

// UTF-8 to UTF-16; a malformed sequence gives one U+FFFD per byte it could not use.
[[nodiscard]] std::u16string utf8ToUtf16(std::string_view bytes) {
    std::u16string units;
    units.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        char32_t code = 0;
        char32_t smallest = 0;
        if (lead < 0x80U) {
            length = 1;
            code = lead;
        } else if (lead >= 0xC2U && lead <= 0xDFU) {
            length = 2;
            code = lead & 0x1FU;
            smallest = 0x80;
        } else if (lead >= 0xE0U && lead <= 0xEFU) {
            length = 3;
            code = lead & 0x0FU;
            smallest = 0x800;
        } else if (lead >= 0xF0U && lead <= 0xF4U) {
            length = 4;
            code = lead & 0x07U;
            smallest = 0x10000;
        }
        bool valid = length > 0 && i + length <= bytes.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            valid = (next & 0xC0U) == 0x80U;
            code = (code << 6U) | (next & 0x3FU);
        }
        valid = valid && code >= smallest && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (!valid) {
            units.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (code >> 10U)));
            units.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FFU)));
        } else {
            units.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return units;
}

// Dispatches events until `done` holds; false when the deadline passes or the connection breaks.
[[nodiscard]] bool dispatchUntil(wl_display* display, const bool& done, Clock::time_point deadline) {
    while (!done) {
        if (wl_display_dispatch_pending(display) < 0) {
            return false;
        }
        if (done) {
            break;
        }
        if (wl_display_flush(display) < 0 && errno != EAGAIN) {
            return false;
        }
        if (wl_display_prepare_read(display) != 0) {
            continue;
        }
        pollfd descriptor{wl_display_get_fd(display), POLLIN, 0};
        const int ready = ::poll(&descriptor, 1, millisecondsUntil(deadline));
        if (ready <= 0) {
            wl_display_cancel_read(display);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        if (wl_display_read_events(display) < 0) {
            return false;
        }
    }
    return true;
}

// A round trip to the compositor, bounded: a compositor that took the connection and then says
// nothing must not freeze the program.
[[nodiscard]] bool roundtrip(wl_display* display, Clock::time_point deadline) {
    bool done = false;
    wl_callback* callback = wl_display_sync(display);
    static const wl_callback_listener listener{
        [](void* data, wl_callback* /*callback*/, std::uint32_t /*serial*/) {
            *static_cast<bool*>(data) = true;
        }};
    wl_callback_add_listener(callback, &listener, &done);
    const bool answered = dispatchUntil(display, done, deadline);
    wl_callback_destroy(callback);
    return answered;
}

// The two protocols are the same apart from their names; each is reached through one of these.
struct ExtProtocol {
    using Manager = ext_data_control_manager_v1;
    using Device = ext_data_control_device_v1;
    using Source = ext_data_control_source_v1;
    using Offer = ext_data_control_offer_v1;
    using DeviceListener = ext_data_control_device_v1_listener;
    using SourceListener = ext_data_control_source_v1_listener;
    using OfferListener = ext_data_control_offer_v1_listener;
    static constexpr const char* kName = "ext_data_control_manager_v1";
    static const wl_interface* managerInterface() { return &ext_data_control_manager_v1_interface; }
    static Device* getDevice(Manager* m, wl_seat* s) {
        return ext_data_control_manager_v1_get_data_device(m, s);
    }
    static Source* createSource(Manager* m) { return ext_data_control_manager_v1_create_data_source(m); }
    static void destroyManager(Manager* m) { ext_data_control_manager_v1_destroy(m); }
    static void destroyDevice(Device* d) { ext_data_control_device_v1_destroy(d); }
    static void setSelection(Device* d, Source* s) { ext_data_control_device_v1_set_selection(d, s); }
    static void offer(Source* s, const char* type) { ext_data_control_source_v1_offer(s, type); }
    static void destroySource(Source* s) { ext_data_control_source_v1_destroy(s); }
    static void receive(Offer* o, const char* type, int fd) {
        ext_data_control_offer_v1_receive(o, type, fd);
    }
    static void destroyOffer(Offer* o) { ext_data_control_offer_v1_destroy(o); }
    static void listen(Device* d, const DeviceListener* l, void* data) {
        ext_data_control_device_v1_add_listener(d, l, data);
    }
    static void listen(Source* s, const SourceListener* l, void* data) {
        ext_data_control_source_v1_add_listener(s, l, data);
    }
    static void listen(Offer* o, const OfferListener* l, void* data) {
        ext_data_control_offer_v1_add_listener(o, l, data);
    }
};

struct WlrProtocol {
    using Manager = zwlr_data_control_manager_v1;
    using Device = zwlr_data_control_device_v1;
    using Source = zwlr_data_control_source_v1;
    using Offer = zwlr_data_control_offer_v1;
    using DeviceListener = zwlr_data_control_device_v1_listener;
    using SourceListener = zwlr_data_control_source_v1_listener;
    using OfferListener = zwlr_data_control_offer_v1_listener;
    static constexpr const char* kName = "zwlr_data_control_manager_v1";
    static const wl_interface* managerInterface() { return &zwlr_data_control_manager_v1_interface; }
    static Device* getDevice(Manager* m, wl_seat* s) {
        return zwlr_data_control_manager_v1_get_data_device(m, s);
    }
    static Source* createSource(Manager* m) { return zwlr_data_control_manager_v1_create_data_source(m); }
    static void destroyManager(Manager* m) { zwlr_data_control_manager_v1_destroy(m); }
    static void destroyDevice(Device* d) { zwlr_data_control_device_v1_destroy(d); }
    static void setSelection(Device* d, Source* s) { zwlr_data_control_device_v1_set_selection(d, s); }
    static void offer(Source* s, const char* type) { zwlr_data_control_source_v1_offer(s, type); }
    static void destroySource(Source* s) { zwlr_data_control_source_v1_destroy(s); }
    static void receive(Offer* o, const char* type, int fd) {
        zwlr_data_control_offer_v1_receive(o, type, fd);
    }
    static void destroyOffer(Offer* o) { zwlr_data_control_offer_v1_destroy(o); }
    static void listen(Device* d, const DeviceListener* l, void* data) {
        zwlr_data_control_device_v1_add_listener(d, l, data);
    }
    static void listen(Source* s, const SourceListener* l, void* data) {
        zwlr_data_control_source_v1_add_listener(s, l, data);
    }
    static void listen(Offer* o, const OfferListener* l, void* data) {
        zwlr_data_control_offer_v1_add_listener(o, l, data);
    }
};

}  // namespace

// The connection and the thread that serves it; one subclass per protocol.
class WaylandClipboard::Session {
  public:
    virtual ~Session() = default;
    [[nodiscard]] virtual Text read() = 0;
    virtual void setEmpty() = 0;
};

namespace {

template <class P>
class DataControlSession final : public WaylandClipboard::Session {
  public:
    DataControlSession(wl_display* display, wl_registry* registry, wl_seat* seat,
                       typename P::Manager* manager)
        : m_display(display), m_registry(registry), m_seat(seat), m_manager(manager) {}

    ~DataControlSession() override {
        if (m_thread.joinable()) {
            {
                const std::lock_guard lock(m_mutex);
                m_stop = true;
            }
            wake();
            m_thread.join();
        }
        for (auto& [offer, types] : m_offerTypes) {
            P::destroyOffer(offer);
        }
        for (typename P::Source* source : m_sources) {
            P::destroySource(source);
        }
        if (m_device != nullptr) {
            P::destroyDevice(m_device);
        }
        P::destroyManager(m_manager);
        wl_seat_destroy(m_seat);
        wl_registry_destroy(m_registry);
        wl_display_flush(m_display);
        wl_display_disconnect(m_display);
        if (m_wakeFd >= 0) {
            ::close(m_wakeFd);
        }
    }

    DataControlSession(const DataControlSession&) = delete;
    DataControlSession& operator=(const DataControlSession&) = delete;

    // Binds the seat's data device, learns the current selection and starts the serving thread.
    [[nodiscard]] bool start(Clock::time_point deadline) {
        m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_wakeFd < 0) {
            return false;
        }
        m_device = P::getDevice(m_manager, m_seat);
        P::listen(m_device, &kDeviceListener, this);
        if (!roundtrip(m_display, deadline)) {
            return false;
        }
        m_thread = std::thread([this] { serve(); });
        return true;
    }

    [[nodiscard]] Text read() override { return perform(Command::Read); }

    void setEmpty() override { (void)perform(Command::SetEmpty); }

  private:
    enum class Command { None, Read, SetEmpty };

    // Hands a command to the serving thread and waits for its result, within the read limit and a
    // margin (the thread itself never takes longer than the read limit over one command).
    Text perform(Command command) {
        std::unique_lock lock(m_mutex);
        const std::uint64_t id = ++m_lastCommandId;
        m_command = command;
        m_commandId = id;
        lock.unlock();
        wake();
        lock.lock();
        const bool finished = m_finished.wait_for(
            lock, WaylandClipboard::kReadLimit + std::chrono::seconds(1), [&] { return m_finishedId >= id; });
        if (!finished || m_finishedId != id) {
            return {};
        }
        return std::move(m_result);
    }

    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
    }

    // The serving thread: dispatches the compositor's events as they come and carries out commands.
    void serve() {
        for (;;) {
            Command command = Command::None;
            std::uint64_t id = 0;
            {
                const std::lock_guard lock(m_mutex);
                if (m_stop) {
                    return;
                }
                std::swap(command, m_command);
                id = m_commandId;
            }
            if (command != Command::None) {
                takeWaitingEvents();
                Text result;
                if (command == Command::Read) {
                    result = readSelection();
                } else {
                    offerEmptyText();
                }
                {
                    const std::lock_guard lock(m_mutex);
                    m_result = std::move(result);
                    m_finishedId = id;
                }
                m_finished.notify_all();
                continue;
            }
            waitForEvents();
        }
    }

    // Sleeps until the compositor sends something or a command comes, and dispatches what came.
    void waitForEvents() {
        std::array<pollfd, 2> descriptors{pollfd{m_wakeFd, POLLIN, 0}, pollfd{-1, POLLIN, 0}};
        bool reading = false;
        if (!m_broken) {
            if (wl_display_dispatch_pending(m_display) < 0) {
                m_broken = true;
            } else if (wl_display_flush(m_display) < 0 && errno != EAGAIN) {
                m_broken = true;
            } else if (wl_display_prepare_read(m_display) != 0) {
                return;  // events already queued: dispatch them first
            } else {
                reading = true;
                descriptors[1].fd = wl_display_get_fd(m_display);
            }
        }
        const int ready = ::poll(descriptors.data(), descriptors.size(), -1);
        if (reading) {
            if (ready > 0 && descriptors[1].revents != 0) {
                if (wl_display_read_events(m_display) < 0) {
                    m_broken = true;
                }
            } else {
                wl_display_cancel_read(m_display);
            }
        }
        if (descriptors[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
        }
    }

    // Reads and dispatches whatever events have already arrived, without waiting.
    void takeWaitingEvents() {
        if (m_broken) {
            return;
        }
        const bool nothing = false;
        (void)dispatchUntil(m_display, nothing, Clock::now());
        if (wl_display_get_error(m_display) != 0) {
            m_broken = true;
        }
    }

    [[nodiscard]] Text readSelection() {
        if (m_broken || m_ownSource != nullptr || m_selection == nullptr) {
            return {};
        }
        const std::vector<std::string>& offered = m_offerTypes[m_selection];
        const std::string* type = nullptr;
        for (const std::string_view wanted : kTextTypes) {
            const auto found = std::find(offered.begin(), offered.end(), wanted);
            if (found != offered.end()) {
                type = &*found;
                break;
            }
        }
        if (type == nullptr) {
            return {};
        }
        std::array<int, 2> pipe{-1, -1};
        if (::pipe2(pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
            return {};
        }
        P::receive(m_selection, type->c_str(), pipe[1]);
        ::close(pipe[1]);
        if (wl_display_flush(m_display) < 0 && errno != EAGAIN) {
            m_broken = true;
        }
        std::string bytes;
        const bool complete = readToEnd(pipe[0], bytes);
        ::close(pipe[0]);
        if (!complete) {
            return {};
        }
        std::u16string text = utf8ToUtf16(bytes);
        const std::size_t zero = text.find(u'\0');
        if (zero != std::u16string::npos) {
            text.resize(zero);
        }
        return encodeCodePage936(text);
    }

    // Reads until the writer closes its end; false when that takes longer than the read limit or
    // the text grows past the largest we take.
    [[nodiscard]] static bool readToEnd(int fd, std::string& bytes) {
        const Clock::time_point deadline = Clock::now() + WaylandClipboard::kReadLimit;
        std::array<char, 16384> chunk{};
        for (;;) {
            pollfd descriptor{fd, POLLIN, 0};
            const int ready = ::poll(&descriptor, 1, millisecondsUntil(deadline));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return false;
            }
            const ssize_t got = ::read(fd, chunk.data(), chunk.size());
            if (got == 0) {
                return true;
            }
            if (got < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    continue;
                }
                return false;
            }
            bytes.append(chunk.data(), static_cast<std::size_t>(got));
            if (bytes.size() > WaylandClipboard::kLargestText) {
                return false;
            }
        }
    }

    void offerEmptyText() {
        if (m_broken) {
            return;
        }
        typename P::Source* source = P::createSource(m_manager);
        P::listen(source, &kSourceListener, this);
        for (const std::string_view type : kTextTypes) {
            P::offer(source, std::string(type).c_str());
        }
        P::setSelection(m_device, source);
        m_sources.push_back(source);
        m_ownSource = source;
        if (wl_display_flush(m_display) < 0 && errno != EAGAIN) {
            m_broken = true;
        }
    }

    void forgetOffer(typename P::Offer* offer) {
        if (offer == nullptr) {
            return;
        }
        m_offerTypes.erase(offer);
        P::destroyOffer(offer);
    }

    static DataControlSession& self(void* data) { return *static_cast<DataControlSession*>(data); }

    static void onDataOffer(void* data, typename P::Device* /*device*/, typename P::Offer* offer) {
        self(data).m_offerTypes[offer];
        P::listen(offer, &kOfferListener, data);
    }
    static void onSelection(void* data, typename P::Device* /*device*/, typename P::Offer* offer) {
        DataControlSession& session = self(data);
        if (session.m_selection != offer) {
            session.forgetOffer(session.m_selection);
        }
        session.m_selection = offer;
    }
    static void onFinished(void* data, typename P::Device* /*device*/) { self(data).m_broken = true; }
    static void onPrimarySelection(void* data, typename P::Device* /*device*/, typename P::Offer* offer) {
        self(data).forgetOffer(offer);  // only the clipboard selection matters
    }
    static void onOfferType(void* data, typename P::Offer* offer, const char* type) {
        self(data).m_offerTypes[offer].emplace_back(type);
    }
    // Another program asks for our text. The clipboard is emptied by offering an empty text rather
    // than by clearing it: a clipboard manager takes a selection that disappears and puts its own
    // copy back, so a cleared clipboard would hand the last link straight back and it would be
    // downloaded again. An empty text is what every reader gets, and it is written by closing the
    // descriptor at once.
    static void onSend(void* /*data*/, typename P::Source* /*source*/, const char* /*type*/, int32_t fd) {
        ::close(fd);
    }
    static void onCancelled(void* data, typename P::Source* source) {
        DataControlSession& session = self(data);
        if (session.m_ownSource == source) {
            session.m_ownSource = nullptr;
        }
        std::erase(session.m_sources, source);
        P::destroySource(source);
    }

    static inline const typename P::DeviceListener kDeviceListener{&onDataOffer, &onSelection, &onFinished,
                                                                   &onPrimarySelection};
    static inline const typename P::SourceListener kSourceListener{&onSend, &onCancelled};
    static inline const typename P::OfferListener kOfferListener{&onOfferType};

    wl_display* m_display;
    wl_registry* m_registry;
    wl_seat* m_seat;
    typename P::Manager* m_manager;
    typename P::Device* m_device = nullptr;

    // Touched by the serving thread only, once it runs.
    typename P::Offer* m_selection = nullptr;
    std::unordered_map<typename P::Offer*, std::vector<std::string>> m_offerTypes;
    std::vector<typename P::Source*> m_sources;
    typename P::Source* m_ownSource = nullptr;  // ours while it holds the selection
    bool m_broken = false;

    int m_wakeFd = -1;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_finished;
    bool m_stop = false;
    Command m_command = Command::None;
    std::uint64_t m_commandId = 0;
    std::uint64_t m_lastCommandId = 0;
    std::uint64_t m_finishedId = 0;
    Text m_result;
};

// The globals the compositor announces that we use.
struct Globals {
    std::uint32_t seat = 0;
    std::uint32_t ext = 0;
    std::uint32_t wlr = 0;
};

void onGlobal(void* data, wl_registry* /*registry*/, std::uint32_t name, const char* interface,
              std::uint32_t /*version*/) {
    auto& globals = *static_cast<Globals*>(data);
    const std::string_view which(interface);
    if (which == wl_seat_interface.name && globals.seat == 0) {
        globals.seat = name;
    } else if (which == ExtProtocol::kName) {
        globals.ext = name;
    } else if (which == WlrProtocol::kName) {
        globals.wlr = name;
    }
}

void onGlobalRemove(void* /*data*/, wl_registry* /*registry*/, std::uint32_t /*name*/) {}

const wl_registry_listener kRegistryListener{&onGlobal, &onGlobalRemove};

template <class P>
[[nodiscard]] std::unique_ptr<WaylandClipboard::Session> startSession(wl_display* display,
                                                                      wl_registry* registry,
                                                                      std::uint32_t seatName,
                                                                      std::uint32_t managerName,
                                                                      Clock::time_point deadline) {
    auto* seat = static_cast<wl_seat*>(wl_registry_bind(registry, seatName, &wl_seat_interface, 1));
    auto* manager =
        static_cast<typename P::Manager*>(wl_registry_bind(registry, managerName, P::managerInterface(), 1));
    auto session = std::make_unique<DataControlSession<P>>(display, registry, seat, manager);
    if (!session->start(deadline)) {
        return nullptr;  // the session's destructor disconnects
    }
    return session;
}

}  // namespace

WaylandClipboard::Connection WaylandClipboard::connect(std::chrono::milliseconds limit) {
    Connection connection;
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (name == nullptr || *name == '\0') {
        return connection;
    }
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) {
        return connection;
    }
    const Clock::time_point deadline = Clock::now() + limit;
    Globals globals;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, &globals);
    if (!roundtrip(display, deadline)) {
        wl_registry_destroy(registry);
        wl_display_disconnect(display);
        return connection;
    }
    connection.reachable = true;
    if (globals.seat == 0 || (globals.ext == 0 && globals.wlr == 0)) {
        wl_registry_destroy(registry);
        wl_display_disconnect(display);
        return connection;
    }
    std::unique_ptr<Session> session;
    if (globals.ext != 0) {
        connection.protocol = "ext-data-control-v1";
        session = startSession<ExtProtocol>(display, registry, globals.seat, globals.ext, deadline);
    } else {
        connection.protocol = "wlr-data-control-unstable-v1";
        session = startSession<WlrProtocol>(display, registry, globals.seat, globals.wlr, deadline);
    }
    if (session != nullptr) {
        connection.clipboard.reset(new WaylandClipboard(std::move(session)));
    }
    return connection;
}

WaylandClipboard::WaylandClipboard(std::unique_ptr<Session> session) : m_session(std::move(session)) {}

WaylandClipboard::~WaylandClipboard() = default;

Text WaylandClipboard::readText() {
    return m_session->read();
}

void WaylandClipboard::replaceWithEmptyText() {
    m_session->setEmpty();
}

}  // namespace tarlowen
