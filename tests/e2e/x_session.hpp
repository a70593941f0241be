#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/child_process.hpp"

// A private X server and the desktop actions of a user, done with the same command-line tools a
// person would script: xclip for the clipboard, xdotool for the mouse, ImageMagick's import for
// screenshots.
namespace tarlowen::e2e {

// An X window id.
using WindowId = unsigned long;

// Xvfb on a display number the server picks itself (-displayfd), so parallel test processes never
// race for the same number, and it is ready to take connections once the number is known. TCP is
// off; the server does not reset when its last client leaves, so the clipboard and the display stay
// put between tests. Stopped by the destructor.
class VirtualDisplay {
  public:
    // Starts the server, logging to `logFile`, with `extraArguments` added to its command line.
    // Null when it did not come up within `timeout`; `error` then says why.
    [[nodiscard]] static std::unique_ptr<VirtualDisplay> start(const std::filesystem::path& logFile,
                                                               std::chrono::milliseconds timeout,
                                                               std::string& error,
                                                               const std::vector<std::string>& extraArguments = {});
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // ":<number>".
    [[nodiscard]] const std::string& name() const { return m_name; }

    // The test's environment pointed at this display.
    [[nodiscard]] Environment environment() const;

  private:
    VirtualDisplay(std::unique_ptr<ChildProcess> server, std::string name);

    std::unique_ptr<ChildProcess> m_server;
    std::string m_name;
};

// What a user does at the desktop of one display.
class Desktop {
  public:
    explicit Desktop(const VirtualDisplay& display);

    // Copies `text` to the clipboard selection. An xclip process keeps offering it until another
    // client takes the clipboard over (or the display stops); it may take a moment after this
    // returns before the text is on offer. False when xclip failed.
    [[nodiscard]] bool copyText(std::string_view text);

    // The text on the clipboard: empty when the owner offers an empty text, nullopt when nobody
    // offers text at all.
    [[nodiscard]] std::optional<std::string> clipboardText();

    // The first viewable window whose title matches the extended regular expression `titlePattern`.
    [[nodiscard]] std::optional<WindowId> findWindow(std::string_view titlePattern);

    // Moves the pointer to (x, y) inside `window` and clicks the left button there.
    [[nodiscard]] bool click(WindowId window, int x, int y);

    // Saves a picture of `window` as a PNG file.
    [[nodiscard]] bool saveScreenshot(WindowId window, const std::filesystem::path& file);

    // Asks the window to close the way a window manager does when its close box is clicked (a
    // WM_DELETE_WINDOW client message). Xvfb runs no window manager, so the test plays that part.
    [[nodiscard]] bool closeWindow(WindowId window);

  private:
    std::string m_displayName;
    Environment m_environment;
};

}  // namespace tarlowen::e2e
