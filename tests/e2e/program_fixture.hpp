#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "e2e/child_process.hpp"
#include "e2e/x_session.hpp"

// What the end-to-end tests share about the program under test: its window and buttons, a fresh
// copy of it in a directory of its own, and the X11 fixture that starts it under Xvfb.
namespace tarlowen::e2e {

// The title of the program's main window, as a pattern for Desktop::findWindow.
inline constexpr std::string_view kWindowTitlePattern = "^TarlowenV0\\.1 byOstrel$";
// Centres of the buttons in the window's client area: Start is 104 x 48 at (0, 288), Stop is
// 136 x 48 at (104, 288).
inline constexpr int kStartX = 52;
inline constexpr int kStopX = 104 + 68;
inline constexpr int kButtonY = 288 + 24;

// Until `condition` holds or `limit` passes, asking every `poll`; whether it held.
template <class Condition>
[[nodiscard]] bool waitFor(Condition condition, std::chrono::milliseconds limit,
                           std::chrono::milliseconds poll = std::chrono::milliseconds(50)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// A new directory under the system's temporary directory, named `prefix` and six random characters;
// an empty path when none could be made.
[[nodiscard]] std::filesystem::path makeTemporaryDirectory(std::string_view prefix);

// Where copyProgramInto put things.
struct ProgramCopy {
    std::filesystem::path directory;   // holds only the program; it writes its songs here
    std::filesystem::path executable;  // the copy itself
    std::filesystem::path runtime;     // a private XDG_RUNTIME_DIR for it
};

// Makes `directory`/program holding a copy of the program as built and a private `directory`/runtime.
// A copy, not a link: the program finds its directory through /proc/self/exe, which names the
// target of a link.
[[nodiscard]] ProgramCopy copyProgramInto(const std::filesystem::path& directory);

// The names in `directory`, sorted.
[[nodiscard]] std::vector<std::string> directoryEntries(const std::filesystem::path& directory);

// A field of /proc/PID/status in KiB ("VmHWM" is the peak resident set so far); nullopt once the
// process is gone or the field is missing.
[[nodiscard]] std::optional<long> processStatusKiB(pid_t pid, std::string_view field);

// Waits up to `limit` for the program's window; its id, or nullopt when none appeared while the
// program ran.
[[nodiscard]] std::optional<WindowId> waitForProgramWindow(Desktop& desktop, ChildProcess& program,
                                                           std::chrono::milliseconds limit);

// Clicks Start and waits, up to a quarter of `limit` each time, for the empty text that Start puts
// on the clipboard (the clipboard must hold something else before). A click that comes before the
// new window takes input is lost, so it is repeated, four times at most; a further click on the
// disabled Start button does nothing. Gives up at once when the program has ended.
[[nodiscard]] bool clickStart(Desktop& desktop, WindowId window, ChildProcess& program,
                              std::chrono::milliseconds limit);

// Each test runs a fresh copy of the program in a directory of its own (the program writes next to
// its executable) and ends by closing the window as a user does; the program must then exit with
// status 0, which also means the sanitizers found nothing in the whole run. The X server is shared
// by the tests of one suite.
class ProgramOnXvfbTest : public ::testing::Test {
  protected:
    // Generous, for a sanitizer build on two busy cores; a passing run waits a fraction of this.
    static constexpr std::chrono::milliseconds kDeadline = std::chrono::seconds(30);

    // `extraVariables` ("NAME=value") are added to the program's environment.
    explicit ProgramOnXvfbTest(std::vector<std::string> extraVariables = {});

    static void SetUpTestSuite();
    static void TearDownTestSuite();
    // Starts the program and waits for its window.
    void SetUp() override;
    void TearDown() override;

    // Like waitFor, but gives up at once when the program has ended.
    template <class Condition>
    [[nodiscard]] bool waitWhileRunning(Condition condition, std::chrono::milliseconds limit = kDeadline) {
        return waitFor([&] { return condition() || !m_program->running(); }, limit) && m_program->running();
    }

    [[nodiscard]] bool clipboardHolds(const std::string& text) { return m_desktop->clipboardText() == text; }

    [[nodiscard]] bool startMonitoring() { return clickStart(*m_desktop, m_window, *m_program, kDeadline); }

    [[nodiscard]] std::vector<std::string> programDirectoryEntries() const {
        return directoryEntries(m_programDirectory);
    }

    // One display at a time: suites run one after another, and each stops its display when it ends.
    static inline std::filesystem::path s_suiteDirectory;
    static inline std::unique_ptr<VirtualDisplay> s_display;
    static inline std::string s_displayError;

    std::optional<Desktop> m_desktop;
    std::filesystem::path m_directory;
    std::filesystem::path m_programDirectory;
    std::unique_ptr<ChildProcess> m_program;
    WindowId m_window = 0;

  private:
    std::vector<std::string> m_extraVariables;
};

}  // namespace tarlowen::e2e
