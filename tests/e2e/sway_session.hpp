#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/child_process.hpp"

// A Wayland desktop for end-to-end tests: sway on its headless backend with XWayland, and the
// command-line tools a user would script there (wl-copy and wl-paste, swaymsg, xdotool on the
// XWayland display).
namespace tarlowen::e2e {

// The test's environment without the named variables, plus `overrides` ("NAME=value").
[[nodiscard]] Environment environmentWithout(const std::vector<std::string>& names,
                                             const std::vector<std::string>& overrides);

// The user the desktop belongs to. sway refuses to run as root, so a root test run gives the
// desktop to "nobody"; any other user keeps it. XWayland lets in only the user that runs the
// compositor, so the program and the X11 tools run as that user too.
struct SessionUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<std::string> commandPrefix;  // runs a command as the user (setpriv), empty when it is us

    // `argv` run as the user.
    [[nodiscard]] std::vector<std::string> command(std::vector<std::string> argv) const;

    // Makes `directory` (mode `mode`) and hands it to the user.
    [[nodiscard]] bool makeDirectory(const std::filesystem::path& directory,
                                     std::filesystem::perms mode) const;

    // Hands `path` to the user.
    [[nodiscard]] bool give(const std::filesystem::path& path) const;
};

[[nodiscard]] SessionUser desktopUser();

class SwaySession {
  public:
    // Starts sway under `directory` (which it fills: home, runtime directory, config, log) and waits
    // until both its Wayland socket and its XWayland display take connections. Null when sway is
    // missing or did not come up within `timeout`; `error` then says why.
    [[nodiscard]] static std::unique_ptr<SwaySession> start(const std::filesystem::path& directory,
                                                            std::chrono::milliseconds timeout,
                                                            std::string& error);
    ~SwaySession();
    SwaySession(const SwaySession&) = delete;
    SwaySession& operator=(const SwaySession&) = delete;

    [[nodiscard]] const SessionUser& user() const { return m_user; }

    // WAYLAND_DISPLAY (a full path, so a client needs no runtime directory of sway's), DISPLAY and
    // SWAYSOCK of the session.
    [[nodiscard]] std::vector<std::string> variables() const;

    // Sends a command to sway; true when sway carried it out.
    [[nodiscard]] bool command(const std::string& text) const;

    // wl-copy: puts `text` on the Wayland clipboard, served by a background process.
    [[nodiscard]] bool copyText(std::string_view text) const;

    // wl-paste: the clipboard's text ("" for an empty text), nullopt when there is none.
    [[nodiscard]] std::optional<std::string> clipboardText() const;

    // The environment of a command run as the desktop's user in this session.
    [[nodiscard]] Environment environment(const std::vector<std::string>& overrides = {}) const;

  private:
    SwaySession() = default;

    SessionUser m_user;
    std::filesystem::path m_directory;
    std::string m_waylandDisplay;
    std::string m_x11Display;
    std::string m_swaySocket;
    std::unique_ptr<ChildProcess> m_sway;
};

}  // namespace tarlowen::e2e
