#include "e2e/x_session.hpp"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

namespace tarlowen::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Reads the display number Xvfb writes to its -displayfd descriptor ("93\n"). Empty when the
// server closed the descriptor (it died) or `deadline` passed first.
[[nodiscard]] std::string readDisplayNumber(int fd, Clock::time_point deadline) {
    std::string text;
    while (text.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return {};
        }
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        std::array<char, 64> buffer{};
        const ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count <= 0) {
            return {};
        }
        text.append(buffer.data(), static_cast<std::size_t>(count));
    }
    return text.substr(0, text.find('\n'));
}

}  // namespace

std::unique_ptr<VirtualDisplay> VirtualDisplay::start(const std::filesystem::path& logFile,
                                                      std::chrono::milliseconds timeout, std::string& error,
                                                      const std::vector<std::string>& extraArguments) {
    std::array<int, 2> pipeFds{};
    if (::pipe2(pipeFds.data(), O_CLOEXEC) != 0) {
        error = "cannot make a pipe for -displayfd";
        return nullptr;
    }
    std::vector<std::string> argv{"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0",
                                  "1024x768x24"};
    argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
    auto server = std::make_unique<ChildProcess>(argv, environmentWith({}), logFile, pipeFds[1]);
    ::close(pipeFds[1]);
    const std::string number = readDisplayNumber(pipeFds[0], Clock::now() + timeout);
    ::close(pipeFds[0]);
    if (number.empty() || !server->running()) {
        error =
            "Xvfb did not report a display number; its log:\n" + readWholeFile(logFile).value_or("(none)");
        return nullptr;
    }
    return std::unique_ptr<VirtualDisplay>(new VirtualDisplay(std::move(server), ":" + number));
}

VirtualDisplay::VirtualDisplay(std::unique_ptr<ChildProcess> server, std::string name)
    : m_server(std::move(server)), m_name(std::move(name)) {}

VirtualDisplay::~VirtualDisplay() {
    // Clients still connected (xclip processes offering a selection) end with the server.
    m_server->stop(SIGTERM, std::chrono::seconds(10));
}

Environment VirtualDisplay::environment() const {
    // No authority file entry exists for this display; the server accepts local clients without one.
    return environmentWith({"DISPLAY=" + m_name});
}

Desktop::Desktop(const VirtualDisplay& display)
    : m_displayName(display.name()), m_environment(display.environment()) {}

bool Desktop::copyText(std::string_view text) {
    // xclip reads the text, takes the selection and then serves it from a background process that
    // keeps the output descriptors: they must not be pipes this process waits on.
    return runCommand({"xclip", "-selection", "clipboard", "-in"}, m_environment,
                      {.input = std::string(text), .captureOutput = false})
        .succeeded();
}

std::optional<std::string> Desktop::clipboardText() {
    CommandResult result = runCommand({"xclip", "-selection", "clipboard", "-out"}, m_environment);
    if (!result.succeeded()) {
        return std::nullopt;
    }
    return std::move(result.output);
}

std::optional<WindowId> Desktop::findWindow(std::string_view titlePattern) {
    const CommandResult result = runCommand(
        {"xdotool", "search", "--onlyvisible", "--name", std::string(titlePattern)}, m_environment);
    if (!result.succeeded()) {
        return std::nullopt;
    }
    std::istringstream lines(result.output);
    WindowId window = 0;
    if (!(lines >> window)) {
        return std::nullopt;
    }
    return window;
}

bool Desktop::click(WindowId window, int x, int y) {
    return runCommand({"xdotool", "mousemove", "--window", std::to_string(window), std::to_string(x),
                       std::to_string(y), "click", "1"},
                      m_environment)
        .succeeded();
}

bool Desktop::saveScreenshot(WindowId window, const std::filesystem::path& file) {
    return runCommand({"import", "-window", std::to_string(window), file.string()}, m_environment,
                      {.timeout = std::chrono::seconds(30)})
        .succeeded();
}

namespace {

// Xlib's default handler ends the process on a protocol error, such as a window that is gone.
int ignoreXError(Display* /*display*/, XErrorEvent* /*error*/) {
    return 0;
}

}  // namespace

bool Desktop::closeWindow(WindowId window) {
    const auto previousHandler = XSetErrorHandler(ignoreXError);
    Display* display = XOpenDisplay(m_displayName.c_str());
    if (display == nullptr) {
        XSetErrorHandler(previousHandler);
        return false;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
    XSetErrorHandler(previousHandler);
    return sent != 0;
}

}  // namespace tarlowen::e2e
