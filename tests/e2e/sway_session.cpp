#include "e2e/sway_session.hpp"

#include <pwd.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <thread>

namespace tarlowen::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

template <class Condition>
[[nodiscard]] bool waitUntil(Condition condition, Clock::time_point deadline) {
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

[[nodiscard]] bool onPath(const std::string& program) {
    return runCommand({"sh", "-c", "command -v " + program}, environmentWith({})).succeeded();
}

}  // namespace

Environment environmentWithout(const std::vector<std::string>& names,
                               const std::vector<std::string>& overrides) {
    Environment result;
    for (const std::string& entry : environmentWith(overrides)) {
        const std::string name = entry.substr(0, entry.find('='));
        bool dropped = false;
        for (const std::string& unwanted : names) {
            dropped = dropped || name == unwanted;
        }
        bool overridden = false;
        for (const std::string& wanted : overrides) {
            overridden = overridden || wanted == entry;
        }
        if (!dropped || overridden) {
            result.push_back(entry);
        }
    }
    return result;
}

std::vector<std::string> SessionUser::command(std::vector<std::string> argv) const {
    std::vector<std::string> full = commandPrefix;
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

bool SessionUser::makeDirectory(const fs::path& directory, fs::perms mode) const {
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) {
        return false;
    }
    fs::permissions(directory, mode, fs::perm_options::replace, error);
    return !error && give(directory);
}

bool SessionUser::give(const fs::path& path) const {
    return ::chown(path.c_str(), uid, gid) == 0;
}

SessionUser desktopUser() {
    SessionUser user;
    user.uid = ::geteuid();
    user.gid = ::getegid();
    if (user.uid != 0) {
        return user;
    }
    if (const passwd* nobody = ::getpwnam("nobody"); nobody != nullptr) {
        user.uid = nobody->pw_uid;
        user.gid = nobody->pw_gid;
    }
    // The parent-death signal is cleared when the user changes, so setpriv sets it again: a test
    // run that is killed takes the compositor and the program with it.
    user.commandPrefix = {"setpriv", "--reuid=" + std::to_string(user.uid),
                          "--regid=" + std::to_string(user.gid), "--clear-groups", "--pdeathsig=KILL"};
    return user;
}

std::unique_ptr<SwaySession> SwaySession::start(const fs::path& directory, std::chrono::milliseconds timeout,
                                                std::string& error) {
    for (const char* tool : {"sway", "swaymsg", "wl-copy", "wl-paste", "Xwayland", "xdotool", "setpriv"}) {
        if (!onPath(tool)) {
            error = std::string(tool) + " is not installed (scripts/install-deps --test installs it)";
            return nullptr;
        }
    }
    std::unique_ptr<SwaySession> session(new SwaySession());
    session->m_user = desktopUser();
    session->m_directory = directory;
    const fs::path home = directory / "home";
    const fs::path runtime = directory / "runtime";
    if (!session->m_user.makeDirectory(home, fs::perms::owner_all) ||
        !session->m_user.makeDirectory(runtime, fs::perms::owner_all)) {
        error = "cannot make the desktop user's directories under " + directory.string();
        return nullptr;
    }
    // No borders, and the program's window floats at the top left at its own size, so its buttons
    // are where the X11 tests find them.
    const fs::path config = directory / "sway.config";
    std::ofstream(config) << "default_border none\n"
                             "default_floating_border none\n"
                             "for_window [title=\"^TarlowenV0\"] floating enable, move position 0 0\n";
    const Environment swayEnvironment =
        environmentWithout({"DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK"},
                           {"HOME=" + home.string(), "XDG_RUNTIME_DIR=" + runtime.string(),
                            "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"});
    session->m_sway =
        std::make_unique<ChildProcess>(session->m_user.command({"sway", "--config", config.string()}),
                                       swayEnvironment, directory / "sway.log");

    const Clock::time_point deadline = Clock::now() + timeout;
    // sway names its sockets itself: wayland-N and sway-ipc.*.sock in the runtime directory.
    const bool socketsUp = waitUntil(
        [&] {
            std::error_code ignored;
            for (const fs::directory_entry& entry : fs::directory_iterator(runtime, ignored)) {
                const std::string name = entry.path().filename().string();
                if (name.starts_with("wayland-") && !name.ends_with(".lock")) {
                    session->m_waylandDisplay = entry.path().string();
                } else if (name.starts_with("sway-ipc.")) {
                    session->m_swaySocket = entry.path().string();
                }
            }
            return (!session->m_waylandDisplay.empty() && !session->m_swaySocket.empty()) ||
                   !session->m_sway->running();
        },
        deadline);
    if (!socketsUp || !session->m_sway->running()) {
        error = "sway did not come up; its log:\n" + readWholeFile(directory / "sway.log").value_or("(none)");
        return nullptr;
    }
    // The XWayland display sway gives its clients, as a program started from sway sees it.
    const fs::path displayFile = home / "display";
    if (!session->command("exec printenv DISPLAY > " + displayFile.string()) ||
        !waitUntil(
            [&] {
                const std::optional<std::string> text = readWholeFile(displayFile);
                return text.has_value() && text->find('\n') != std::string::npos;
            },
            deadline)) {
        error = "sway started no XWayland display; its log:\n" +
                readWholeFile(directory / "sway.log").value_or("(none)");
        return nullptr;
    }
    const std::string display = readWholeFile(displayFile).value_or("");
    session->m_x11Display = display.substr(0, display.find('\n'));
    if (!waitUntil(
            [&] {
                return runCommand(session->m_user.command({"xdotool", "getmouselocation"}),
                                  session->environment())
                    .succeeded();
            },
            deadline)) {
        error = "XWayland on " + session->m_x11Display + " took no connection";
        return nullptr;
    }
    return session;
}

SwaySession::~SwaySession() {
    if (m_sway) {
        m_sway->stop(SIGTERM, std::chrono::seconds(10));
    }
}

std::vector<std::string> SwaySession::variables() const {
    return {"WAYLAND_DISPLAY=" + m_waylandDisplay, "DISPLAY=" + m_x11Display, "SWAYSOCK=" + m_swaySocket};
}

Environment SwaySession::environment(const std::vector<std::string>& overrides) const {
    std::vector<std::string> all = variables();
    all.insert(all.end(), overrides.begin(), overrides.end());
    return environmentWithout({"XAUTHORITY"}, all);
}

bool SwaySession::command(const std::string& text) const {
    const CommandResult result = runCommand({"swaymsg", text}, environment());
    return result.succeeded() && result.output.find("\"success\": false") == std::string::npos;
}

bool SwaySession::copyText(std::string_view text) const {
    return runCommand({"wl-copy", "--", std::string(text)}, environment(), {.captureOutput = false})
        .succeeded();
}

std::optional<std::string> SwaySession::clipboardText() const {
    CommandResult result = runCommand({"wl-paste", "--no-newline"}, environment());
    if (!result.succeeded()) {
        return std::nullopt;
    }
    return std::move(result.output);
}

}  // namespace tarlowen::e2e
