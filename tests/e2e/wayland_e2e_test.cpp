// The real program on a Wayland desktop: sway on its headless backend, links copied with wl-copy
// (and with xclip in an X11 program) while the program's window is on another workspace without
// focus, the clipboard read back with wl-paste.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/wayland_clipboard.hpp"
#include "e2e/child_process.hpp"
#include "e2e/program_fixture.hpp"
#include "e2e/stand_in_service.hpp"
#include "e2e/sway_session.hpp"
#include "platform/code_page.hpp"
#include "support/scripted_http_server.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using e2e::ChildProcess;
using e2e::kButtonY;
using e2e::kStartX;
using e2e::requestedTargets;
using e2e::SwaySession;

constexpr std::chrono::milliseconds kDeadline = 30s;

// The sway session a suite shares, in a new directory named `prefix` and six random characters that
// the desktop's user can pass through; null, with `error` saying why, when it did not start.
[[nodiscard]] std::unique_ptr<SwaySession> startSuiteSession(std::string_view prefix, fs::path& directory,
                                                             std::string& error) {
    directory = e2e::makeTemporaryDirectory(prefix);
    if (directory.empty()) {
        error = "cannot make a temporary directory";
        return nullptr;
    }
    fs::permissions(directory, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    return SwaySession::start(directory / "desktop", 60s, error);
}

// One sway for the whole suite; each test runs its own copy of the program as the desktop's user,
// in a directory that user owns (the program writes next to itself).
class WaylandEndToEndTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_session = startSuiteSession("tarlowen-wayland-", s_directory, s_error); }

    static void TearDownTestSuite() {
        s_session.reset();
        std::error_code ignored;
        fs::remove_all(s_directory, ignored);
    }

    void SetUp() override {
        if (s_session == nullptr) {
            GTEST_SKIP() << "sway cannot start here, so the Wayland desktop is not tried: " << s_error;
        }
        const e2e::SessionUser& user = s_session->user();
        m_directory = s_directory / ("test-" + std::to_string(++s_tests));
        m_programDirectory = m_directory / "program";
        const fs::path runtime = m_directory / "runtime";
        const fs::perms open = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec;
        ASSERT_TRUE(user.makeDirectory(m_directory, open));
        ASSERT_TRUE(user.makeDirectory(m_programDirectory, open));
        ASSERT_TRUE(user.makeDirectory(runtime, fs::perms::owner_all));
        fs::copy_file(TARLOWEN_PROGRAM_PATH, m_programDirectory / "tarlowen");
        ASSERT_TRUE(user.give(m_programDirectory / "tarlowen"));
        ASSERT_TRUE(s_session->command("workspace 1"));

        m_program = std::make_unique<ChildProcess>(
            user.command({(m_programDirectory / "tarlowen").string()}),
            e2e::environmentWithout({"QT_QPA_PLATFORM"}, withSession({"XDG_RUNTIME_DIR=" + runtime.string(),
                                                                      "HOME=" + m_directory.string(),
                                                                      // Qt's X11 platform loads libdbus,
                                                                      // which leaves a buffer at exit.
                                                                      "ASAN_OPTIONS=detect_leaks=0"})),
            m_directory / "tarlowen.log");
        ASSERT_TRUE(waitWhileRunning([&] { return (m_window = findWindow()).has_value(); }))
            << "the window never appeared";
    }

    void TearDown() override {
        if (m_program && m_program->running()) {
            EXPECT_TRUE(s_session->command("[title=\"^TarlowenV0\"] kill"));
            const std::optional<int> status = m_program->waitFor(kDeadline);
            EXPECT_EQ(status.value_or(-1), 0) << "closing the window did not end the program cleanly";
        }
        m_program.reset();
        if (HasFailure()) {
            std::cout << "program log:\n"
                      << e2e::readWholeFile(m_directory / "tarlowen.log").value_or("(none)") << '\n';
        }
    }

    [[nodiscard]] static std::vector<std::string> withSession(std::vector<std::string> overrides) {
        std::vector<std::string> all = s_session->variables();
        all.insert(all.end(), overrides.begin(), overrides.end());
        return all;
    }

    // Runs an X11 tool on the XWayland display, as the desktop's user.
    [[nodiscard]] e2e::CommandResult x11(std::vector<std::string> argv,
                                         const e2e::CommandOptions& options = {}) {
        return e2e::runCommand(s_session->user().command(std::move(argv)), s_session->environment(), options);
    }

    [[nodiscard]] std::optional<std::string> findWindow() {
        const e2e::CommandResult found = x11({"xdotool", "search", "--onlyvisible", "--name", "^TarlowenV0"});
        if (!found.succeeded() || found.output.empty()) {
            return std::nullopt;
        }
        return found.output.substr(0, found.output.find('\n'));
    }

    template <class Condition>
    [[nodiscard]] bool waitWhileRunning(Condition condition, std::chrono::milliseconds limit = kDeadline) {
        return e2e::waitFor([&] { return condition() || !m_program->running(); }, limit) &&
               m_program->running();
    }

    [[nodiscard]] bool clipboardHolds(const std::string& text) { return s_session->clipboardText() == text; }

    // Clicks Start (through XWayland, where the window lives) until the empty text it sets is on the
    // Wayland clipboard.
    [[nodiscard]] bool startMonitoring() {
        for (int attempt = 0; attempt < 4; ++attempt) {
            if (!x11({"xdotool", "mousemove", "--window", *m_window, std::to_string(kStartX),
                      std::to_string(kButtonY), "click", "1"})
                     .succeeded()) {
                return false;
            }
            if (waitWhileRunning([&] { return clipboardHolds(""); }, kDeadline / 4)) {
                return true;
            }
        }
        return false;
    }

    // Switches to an empty workspace: the window is then neither shown nor focused.
    [[nodiscard]] bool moveFocusAway() { return s_session->command("workspace 2"); }

    [[nodiscard]] bool waitForDownload(const e2e::StandInSong& song) {
        return waitWhileRunning(
                   [&] { return e2e::readWholeFile(m_programDirectory / song.fileName()) == song.media; }) &&
               waitWhileRunning([&] { return clipboardHolds(""); });
    }

    static inline fs::path s_directory;
    static inline std::unique_ptr<SwaySession> s_session;
    static inline std::string s_error;
    static inline int s_tests = 0;

    testing_support::ScriptedHttpServer m_server;
    fs::path m_directory;
    fs::path m_programDirectory;
    std::unique_ptr<ChildProcess> m_program;
    std::optional<std::string> m_window;
    const e2e::StandInSong m_song = e2e::standInSong("W1a2Y3", "晴天小鱼", "春风十里", 1);
    const e2e::StandInSong m_next = e2e::standInSong("W4b5Y6", "夜航船", "山海之间", 2);
};

// Each link is taken without focus, fetched once, and the emptying is accepted, so the next link is
// taken as well.
TEST_F(WaylandEndToEndTest, LinksCopiedWhileTheWindowHasNoFocusAreSavedOneAfterAnother) {
    ASSERT_TRUE(s_session->copyText("copied before the program was switched on"));
    ASSERT_TRUE(startMonitoring());
    ASSERT_TRUE(moveFocusAway());

    ASSERT_TRUE(s_session->copyText(e2e::serveStandInSong(m_server, m_song)));
    ASSERT_TRUE(waitForDownload(m_song)) << "the first link was not taken, or the clipboard not emptied";
    ASSERT_TRUE(s_session->copyText(e2e::serveStandInSong(m_server, m_next)));
    ASSERT_TRUE(waitForDownload(m_next)) << "the second link was not taken, or the clipboard not emptied";

    EXPECT_EQ(requestedTargets(m_server), (std::vector<std::string>{m_song.pageTarget, m_song.mediaTarget,
                                                                    m_next.pageTarget, m_next.mediaTarget}));
    // The empty text is still served once the program has been idle a while.
    EXPECT_EQ(s_session->clipboardText(), "");
}

// A link copied in an X11 program reaches the compositor's clipboard through XWayland. The
// compositor hands an X11 copy on while an X11 window has focus, as the copying program's own
// window has when a user copies; here that is another X11 window, not ours.
TEST_F(WaylandEndToEndTest, LinkCopiedInAnotherX11ProgramIsSavedToo) {
    ASSERT_TRUE(s_session->copyText("copied before the program was switched on"));
    ASSERT_TRUE(startMonitoring());
    ASSERT_TRUE(moveFocusAway());
    ChildProcess other(
        s_session->user().command({"xmessage", "-title", "copying program", "a link is copied here"}),
        s_session->environment(), m_directory / "xmessage.log");
    ASSERT_TRUE(
        e2e::waitFor([&] { return s_session->command("[title=\"^copying program$\"] focus"); }, kDeadline));

    const std::string link = e2e::serveStandInSong(m_server, m_song);
    ASSERT_TRUE(x11({"xclip", "-selection", "clipboard", "-in"}, {.input = link, .captureOutput = false})
                    .succeeded());
    ASSERT_TRUE(waitForDownload(m_song));
    EXPECT_EQ(requestedTargets(m_server), (std::vector<std::string>{m_song.pageTarget, m_song.mediaTarget}));
}

// The compositor clipboard on its own, against the same kind of desktop: what it reads, what it
// offers, and what it refuses to take.
class WaylandClipboardTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_session = startSuiteSession("tarlowen-wlclip-", s_directory, s_error); }

    static void TearDownTestSuite() {
        s_session.reset();
        std::error_code ignored;
        fs::remove_all(s_directory, ignored);
    }

    void SetUp() override {
        if (s_session == nullptr) {
            GTEST_SKIP() << "sway cannot start here, so the Wayland clipboard is not tried: " << s_error;
        }
        // This test process is the client; the compositor does not check who connects.
        for (const std::string& variable : s_session->variables()) {
            const std::size_t equals = variable.find('=');
            ::setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1);
        }
        WaylandClipboard::Connection connection = WaylandClipboard::connect();
        ASSERT_TRUE(connection.reachable);
        ASSERT_NE(connection.clipboard, nullptr) << "sway offers data-control, yet it was not used";
        EXPECT_EQ(connection.protocol, "wlr-data-control-unstable-v1");
        m_clipboard = std::move(connection.clipboard);
    }

    // Copies with wl-copy and waits until the compositor offers it.
    [[nodiscard]] static bool copy(const std::vector<std::string>& options, const std::string& text) {
        std::vector<std::string> argv{"wl-copy"};
        argv.insert(argv.end(), options.begin(), options.end());
        return e2e::runCommand(argv, s_session->environment(), {.input = text, .captureOutput = false})
                   .succeeded() &&
               e2e::waitFor([&] { return s_session->clipboardText().has_value(); }, kDeadline);
    }

    static inline fs::path s_directory;
    static inline std::unique_ptr<SwaySession> s_session;
    static inline std::string s_error;
    std::unique_ptr<WaylandClipboard> m_clipboard;
};

TEST_F(WaylandClipboardTest, ReadsTheOfferedTextInCodePage936) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string copied;
        std::u16string expected;
    };
    const std::vector<Case> cases{
        {"utf8",
         {"--type", "text/plain;charset=utf-8"},
         "https://example.test/play?s=1",
         u"https://example.test/play?s=1"},
        {"twoByteCharacters", {"--type", "text/plain;charset=utf-8"}, "春风十里 é", u"春风十里 é"},
        // As a C string: the text ends at its first zero character.
        {"stopsAtZero", {"--type", "text/plain;charset=utf-8"}, std::string("before\0after", 12), u"before"},
        // Only an X11 type on offer, as an X11 program's copy arrives through XWayland.
        {"x11Type", {"--type", "UTF8_STRING"}, "http://example.test/x", u"http://example.test/x"},
        // Malformed UTF-8 gives replacement characters, which the code page writes as "?".
        {"malformed",
         {"--type", "text/plain;charset=utf-8"},
         "a\xff\xc3"
         "b",
         u"a\uFFFD\uFFFDb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(copy(c.options, c.copied));
        EXPECT_TRUE(
            e2e::waitFor([&] { return m_clipboard->readText() == encodeCodePage936(c.expected); }, kDeadline))
            << "read: " << m_clipboard->readText();
    }
}

TEST_F(WaylandClipboardTest, OffersAnEmptyTextUntilAnotherProgramCopies) {
    ASSERT_TRUE(copy({}, "a link"));
    m_clipboard->replaceWithEmptyText();
    EXPECT_TRUE(e2e::waitFor([&] { return s_session->clipboardText() == ""; }, kDeadline));
    EXPECT_EQ(m_clipboard->readText(), "");
    // wl-paste asks for each text type in turn; every one is served, empty.
    for (const char* type : {"text/plain;charset=utf-8", "UTF8_STRING", "STRING"}) {
        const e2e::CommandResult pasted =
            e2e::runCommand({"wl-paste", "--no-newline", "--type", type}, s_session->environment());
        EXPECT_TRUE(pasted.succeeded()) << type;
        EXPECT_EQ(pasted.output, "") << type;
    }
    ASSERT_TRUE(copy({}, "the next link"));
    EXPECT_TRUE(e2e::waitFor([&] { return m_clipboard->readText() == "the next link"; }, kDeadline));
}

// A text larger than any address reads as empty, rather than growing without bound.
TEST_F(WaylandClipboardTest, TextLargerThanTheLimitReadsAsEmpty) {
    ASSERT_TRUE(copy({}, "small first"));
    ASSERT_TRUE(e2e::waitFor([&] { return m_clipboard->readText() == "small first"; }, kDeadline));
    const std::string huge(WaylandClipboard::kLargestText + 1, 'h');
    ASSERT_TRUE(copy({}, huge));
    ASSERT_TRUE(e2e::waitFor([&] { return s_session->clipboardText() == huge; }, kDeadline));
    EXPECT_EQ(m_clipboard->readText(), "");
}

// An owner that never writes costs one read its time limit, no more, and the clipboard can still
// be emptied.
TEST_F(WaylandClipboardTest, AnOwnerThatNeverWritesMakesTheReadGiveUp) {
    ChildProcess owner({TARLOWEN_SILENT_WAYLAND_OWNER_PATH}, s_session->environment(),
                       s_directory / "owner.log");
    ASSERT_TRUE(e2e::waitFor(
        [&] {
            const std::optional<std::string> log = e2e::readWholeFile(s_directory / "owner.log");
            return log.has_value() && log->starts_with("owned\n");
        },
        kDeadline))
        << e2e::readWholeFile(s_directory / "owner.log").value_or("");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_clipboard->readText(), "");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, WaylandClipboard::kReadLimit - 100ms) << "the owner was not asked";
    EXPECT_LT(took, 15s) << "the read did not give up";  // a bound that shows it did not hang
    EXPECT_NE(e2e::readWholeFile(s_directory / "owner.log").value_or("").find("request"), std::string::npos);

    m_clipboard->replaceWithEmptyText();
    EXPECT_TRUE(e2e::waitFor([&] { return s_session->clipboardText() == ""; }, kDeadline));
    EXPECT_TRUE(owner.running());
}

}  // namespace
}  // namespace tarlowen
