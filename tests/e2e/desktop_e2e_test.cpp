// The real program's start-up on a desktop: no display at all, a second start while one runs, and
// a clipboard owner that never answers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/child_process.hpp"
#include "e2e/program_fixture.hpp"
#include "e2e/sway_session.hpp"
#include "e2e/x_session.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using e2e::ChildProcess;
using e2e::CommandResult;
using e2e::kWindowTitlePattern;

constexpr std::chrono::milliseconds kDeadline = 30s;
constexpr std::string_view kNoDisplayLine =
    "tarlowen: no graphical display: DISPLAY/WAYLAND_DISPLAY not set or not reachable\n";

[[nodiscard]] fs::path makeTemporaryDirectory() {
    return e2e::makeTemporaryDirectory("tarlowen-desktop-");
}

// A socket file that nobody listens on, as a compositor that crashed leaves behind.
[[nodiscard]] bool makeDeadSocket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

class DesktopEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_directory = makeTemporaryDirectory();
        ASSERT_FALSE(m_directory.empty());
        static_cast<void>(e2e::copyProgramInto(m_directory));  // at program() and runtime()
    }

    void TearDown() override {
        if (!HasFailure()) {
            std::error_code ignored;
            fs::remove_all(m_directory, ignored);
        } else {
            std::cout << "files kept in " << m_directory << '\n';
        }
    }

    [[nodiscard]] fs::path program() const { return m_directory / "program" / "tarlowen"; }
    [[nodiscard]] fs::path runtime() const { return m_directory / "runtime"; }

    // The program's environment: no display of the test's own, its own runtime directory.
    [[nodiscard]] e2e::Environment environment(std::vector<std::string> overrides = {}) const {
        overrides.push_back("XDG_RUNTIME_DIR=" + runtime().string());
        overrides.push_back("ASAN_OPTIONS=detect_leaks=0");
        return e2e::environmentWithout({"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XAUTHORITY"},
                                       overrides);
    }

    fs::path m_directory;
};

// Without a display the program says so in one line and exits with status 2, before the toolkit
// could abort with advice to reinstall.
TEST_F(DesktopEndToEndTest, WithoutAReachableDisplayTheProgramSaysSoAndExitsWithStatus2) {
    ASSERT_TRUE(makeDeadSocket(m_directory / "dead-wayland"));
    // An X server that wants a cookie the program does not have, as under sudo.
    const fs::path cookies = m_directory / "xauthority";
    ASSERT_TRUE(e2e::runCommand({"xauth", "-f", cookies.string(), "add", ":0", "MIT-MAGIC-COOKIE-1",
                                 "0123456789abcdef0123456789abcdef"},
                                e2e::environmentWith({}))
                    .succeeded());
    std::string error;
    const std::unique_ptr<e2e::VirtualDisplay> guarded =
        e2e::VirtualDisplay::start(m_directory / "xvfb.log", kDeadline, error, {"-auth", cookies.string()});
    ASSERT_NE(guarded, nullptr) << error;

    struct Case {
        const char* name;
        std::vector<std::string> variables;
    };
    const std::vector<Case> cases{
        {"neitherSet", {}},
        {"deadWaylandSocket", {"WAYLAND_DISPLAY=" + (m_directory / "dead-wayland").string()}},
        {"waylandNameWithoutSocket", {"WAYLAND_DISPLAY=wayland-77"}},
        {"x11RefusesTheCookie",
         {"DISPLAY=" + guarded->name(), "XAUTHORITY=" + (m_directory / "none").string()}},
        {"both",
         {"DISPLAY=" + guarded->name(), "WAYLAND_DISPLAY=" + (m_directory / "dead-wayland").string()}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CommandResult result = e2e::runCommand({program().string()}, environment(c.variables));
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.errors, kNoDisplayLine);
        EXPECT_EQ(result.output, "");
    }
}

// The X11 desktop for the tests that show the window.
class DesktopWindowEndToEndTest : public DesktopEndToEndTest {
  protected:
    // Xvfb with openbox, so a window can be minimised and brought back as on a user's desktop.
    static void SetUpTestSuite() {
        s_suiteDirectory = makeTemporaryDirectory();
        s_display = e2e::VirtualDisplay::start(s_suiteDirectory / "xvfb.log", kDeadline, s_displayError);
        if (s_display == nullptr) {
            return;
        }
        s_windowManager = std::make_unique<ChildProcess>(
            std::vector<std::string>{"openbox"}, s_display->environment(), s_suiteDirectory / "openbox.log");
        // A window manager announces itself with a check window on the root window.
        const bool managing = e2e::waitFor(
            [&] {
                const CommandResult root =
                    e2e::runCommand({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, s_display->environment());
                return root.succeeded() && root.output.find("window id") != std::string::npos;
            },
            kDeadline);
        if (!managing) {
            s_displayError = "openbox did not start: " +
                             e2e::readWholeFile(s_suiteDirectory / "openbox.log").value_or("(no log)");
            s_display.reset();
        }
    }

    static void TearDownTestSuite() {
        if (s_windowManager) {
            s_windowManager->stop(SIGTERM, kDeadline);
        }
        s_windowManager.reset();
        s_display.reset();
        std::error_code ignored;
        fs::remove_all(s_suiteDirectory, ignored);
    }

    void SetUp() override {
        ASSERT_NE(s_display, nullptr) << s_displayError;
        DesktopEndToEndTest::SetUp();
        m_desktop.emplace(*s_display);
    }

    [[nodiscard]] e2e::Environment x11Environment() const {
        return environment({"DISPLAY=" + s_display->name()});
    }

    [[nodiscard]] std::unique_ptr<ChildProcess> startProgram(const std::string& logName) const {
        return std::make_unique<ChildProcess>(std::vector<std::string>{program().string()}, x11Environment(),
                                              m_directory / logName);
    }

    // Waits for a window of the program; its id, or nullopt when none appeared while it ran.
    [[nodiscard]] std::optional<e2e::WindowId> waitForWindow(ChildProcess& process) {
        return e2e::waitForProgramWindow(*m_desktop, process, kDeadline);
    }

    // Closes the window as a window manager would; the program must then exit with status 0.
    void closeAndExpectCleanExit(ChildProcess& process, e2e::WindowId window) {
        EXPECT_TRUE(m_desktop->closeWindow(window));
        EXPECT_EQ(process.waitFor(kDeadline).value_or(-1), 0);
    }

    static inline fs::path s_suiteDirectory;
    static inline std::unique_ptr<e2e::VirtualDisplay> s_display;
    static inline std::unique_ptr<ChildProcess> s_windowManager;
    static inline std::string s_displayError;
    std::optional<e2e::Desktop> m_desktop;
};

// A second start while one copy runs asks that copy to show its window and exits with status 0; a
// copy that was killed leaves nothing behind that keeps the next start from running.
TEST_F(DesktopWindowEndToEndTest, ASecondStartDefersToTheRunningCopyAndAKilledCopyBlocksNothing) {
    const std::unique_ptr<ChildProcess> first = startProgram("first.log");
    const std::optional<e2e::WindowId> firstWindow = waitForWindow(*first);
    ASSERT_TRUE(firstWindow.has_value()) << e2e::readWholeFile(m_directory / "first.log").value_or("");
    // Minimised, the window is not viewable; the second start brings it back.
    ASSERT_TRUE(e2e::runCommand({"xdotool", "windowminimize", std::to_string(*firstWindow)}, x11Environment())
                    .succeeded());
    ASSERT_TRUE(
        e2e::waitFor([&] { return !m_desktop->findWindow(kWindowTitlePattern).has_value(); }, kDeadline));

    const CommandResult second =
        e2e::runCommand({program().string()}, x11Environment(), {.timeout = kDeadline});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.errors, "tarlowen: already running; its window was brought to the front\n");
    EXPECT_TRUE(
        e2e::waitFor([&] { return m_desktop->findWindow(kWindowTitlePattern) == firstWindow; }, kDeadline))
        << "the running copy's window was not brought back";
    EXPECT_TRUE(first->running());

    first->stop(SIGKILL, kDeadline);
    ASSERT_FALSE(first->running());
    const std::unique_ptr<ChildProcess> third = startProgram("third.log");
    const std::optional<e2e::WindowId> thirdWindow = waitForWindow(*third);
    ASSERT_TRUE(thirdWindow.has_value()) << "a start after the first copy was killed did not run: "
                                         << e2e::readWholeFile(m_directory / "third.log").value_or("");
    closeAndExpectCleanExit(*third, *thirdWindow);
}

// An owner that takes the X clipboard and never answers makes each read wait for the toolkit's
// time limit; the reads then pause, so the window still closes at once.
TEST_F(DesktopWindowEndToEndTest, AClipboardOwnerThatNeverAnswersDoesNotKeepTheWindowFromClosing) {
    const std::unique_ptr<ChildProcess> program = startProgram("program.log");
    const std::optional<e2e::WindowId> window = waitForWindow(*program);
    ASSERT_TRUE(window.has_value());
    // Start: the clipboard is then ours and monitoring is on.
    ASSERT_TRUE(m_desktop->copyText("before"));
    ASSERT_TRUE(e2e::waitFor(
        [&] {
            return m_desktop->click(*window, e2e::kStartX, e2e::kButtonY) &&
                   e2e::waitFor([&] { return m_desktop->clipboardText() == ""; }, 3s);
        },
        kDeadline));

    ChildProcess owner({TARLOWEN_SILENT_OWNER_PATH}, environment({"DISPLAY=" + s_display->name()}),
                       m_directory / "owner.log");
    // Two reads have run into the silent owner, each waiting out the toolkit's 5 s limit.
    ASSERT_TRUE(e2e::waitFor(
        [&] { return e2e::readWholeFile(m_directory / "owner.log") == "owned\nrequest\nrequest\n"; },
        kDeadline));
    ASSERT_TRUE(owner.running());

    ASSERT_TRUE(m_desktop->closeWindow(*window));
    // Without the pause, every tick would wait 5 s and the next would fall due at once, for as long
    // as the owner stays. A close is handled within one read's limit; the bound here only shows
    // that the program did not hang.
    EXPECT_EQ(program->waitFor(20s).value_or(-1), 0) << "the window did not close while the owner held on";
    EXPECT_TRUE(owner.running());
}

}  // namespace
}  // namespace tarlowen
