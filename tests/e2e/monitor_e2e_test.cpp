// The real program under a private X server, driven the way its user drives it: links copied to the
// X clipboard with xclip, the Start and Stop buttons clicked with xdotool, the share pages and the
// media served by a loopback server that stands in for the song-sharing service.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/child_process.hpp"
#include "e2e/x_session.hpp"
#include "support/scripted_http_server.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using e2e::ChildProcess;
using e2e::Desktop;
using e2e::VirtualDisplay;
using e2e::WindowId;
using testing_support::Reply;
using testing_support::ScriptedHttpServer;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kWindowTitlePattern = "^TarlowenV0\\.1 byOstrel$";
// Centres of the buttons in the window's client area: Start is 104 x 48 at (0, 288), Stop is
// 136 x 48 at (104, 288).
constexpr int kStartX = 52;
constexpr int kStopX = 104 + 68;
constexpr int kButtonY = 288 + 24;

// Generous, for a sanitizer build on two busy cores; a passing run waits a fraction of this.
constexpr std::chrono::milliseconds kDeadline = 30s;

// One song on the stand-in service: its share page, its media and the file it becomes.
struct Song {
    std::string pageTarget;
    std::string mediaTarget;
    std::string nick;
    std::string name;
    std::string media;

    [[nodiscard]] std::string fileName() const { return nick + " - " + name + ".m4a"; }
};

// Made-up media: bytes of every value, zero bytes included, so nothing that treats the data as
// text gets it through intact.
[[nodiscard]] std::string madeUpMedia(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    unsigned state = seed;
    for (char& byte : bytes) {
        state = state * 1103515245U + 12345U;
        byte = static_cast<char>(state >> 16U);
    }
    return bytes;
}

[[nodiscard]] Song song(std::string id, std::string nick, std::string name, unsigned seed) {
    return Song{"/play?s=" + id + "&g_f=personal", "/media/" + id + ".m4a", std::move(nick), std::move(name),
                madeUpMedia(192 * 1024 + seed, seed)};
}

// A share page in UTF-8 that embeds the song's data the way the service's pages do, among other keys.
[[nodiscard]] std::string sharePage(const ScriptedHttpServer& server, const Song& song) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + song.name + "</title></head>\n" +
           "<body><div id=\"player\"></div><script>window.shareData = {\"detail\":{\"nick\":\"" + song.nick +
           "\",\"song_name\":\"" + song.name + "\",\"playurl\":\"" + server.url(song.mediaTarget) +
           "\",\"play_count\":1024}};</script></body></html>\n";
}

// Until `condition` holds or `limit` passes; whether it held.
template <class Condition>
[[nodiscard]] bool waitUntil(Condition condition, std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// Each test runs a fresh copy of the program in a directory of its own (the program writes next to
// its executable) and ends by closing the window as a user does; the program must then exit with
// status 0, which also means the sanitizers found nothing in the whole run. The X server is shared
// by the tests of one process.
class MonitorEndToEndTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_suiteDirectory = makeTemporaryDirectory();
        s_display = VirtualDisplay::start(s_suiteDirectory / "xvfb.log", kDeadline, s_displayError);
    }

    static void TearDownTestSuite() {
        s_display.reset();
        std::error_code ignored;
        fs::remove_all(s_suiteDirectory, ignored);
    }

    void SetUp() override {
        ASSERT_NE(s_display, nullptr) << s_displayError;
        m_desktop.emplace(*s_display);
        m_directory = makeTemporaryDirectory();
        ASSERT_FALSE(m_directory.empty()) << "cannot make a temporary directory";
        m_programDirectory = m_directory / "program";
        fs::create_directory(m_programDirectory);
        // A copy, not a link: the program finds its directory through /proc/self/exe, which names
        // the target of a link.
        fs::copy_file(TARLOWEN_PROGRAM_PATH, m_programDirectory / "tarlowen");
        const fs::path runtimeDirectory = m_directory / "runtime";
        fs::create_directory(runtimeDirectory);
        fs::permissions(runtimeDirectory, fs::perms::owner_all, fs::perm_options::replace);

        const e2e::Environment environment = e2e::environmentWith({
            "DISPLAY=" + s_display->name(),
            "QT_QPA_PLATFORM=xcb",
            // A test run from a Wayland session must not reach the user's compositor clipboard.
            "WAYLAND_DISPLAY=",
            "XDG_RUNTIME_DIR=" + runtimeDirectory.string(),
            // Leak checking is off in the program: under X11, Qt loads libdbus, which leaves a
            // buffer allocated at exit, and the report would fail every run for a library's
            // sake. Our own code is leak-checked by the unit tests; every other sanitizer check
            // stays on here, and a finding makes the program exit with a non-zero status.
            "ASAN_OPTIONS=detect_leaks=0",
        });
        m_program = std::make_unique<ChildProcess>(
            std::vector<std::string>{(m_programDirectory / "tarlowen").string()}, environment,
            m_directory / "tarlowen.log");

        std::optional<WindowId> window;
        ASSERT_TRUE(waitWhileRunning([&] {
            return (window = m_desktop->findWindow(kWindowTitlePattern)).has_value();
        })) << "the window never appeared";
        m_window = *window;
    }

    void TearDown() override {
        if (m_program && m_program->running() && m_window == 0) {
            m_program->stop(SIGKILL, kDeadline);  // it never showed its window; that failure is reported
        } else if (m_program && m_program->running()) {
            EXPECT_TRUE(m_desktop->closeWindow(m_window));
            const std::optional<int> status = m_program->waitFor(kDeadline);
            EXPECT_TRUE(status.has_value()) << "closing the window did not end the program";
            EXPECT_EQ(status.value_or(-1), 0) << "the program did not exit cleanly";
        } else if (m_program) {
            ADD_FAILURE() << "the program ended on its own with status "
                          << m_program->exitStatus().value_or(-1);
        }
        m_program.reset();
        if (HasFailure()) {
            std::cout << "program log:\n"
                      << e2e::readWholeFile(m_directory / "tarlowen.log").value_or("(none)")
                      << "\nfiles kept in " << m_directory << '\n';
        } else if (!m_directory.empty()) {
            std::error_code ignored;
            fs::remove_all(m_directory, ignored);
        }
    }

    [[nodiscard]] static fs::path makeTemporaryDirectory() {
        std::string pattern = (fs::temp_directory_path() / "tarlowen-e2e-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            return {};
        }
        return pattern;
    }

    // Serves the song's page (after `delay`, when given) and its media.
    void serve(const Song& song, std::chrono::milliseconds delay = 0ms) {
        const std::string page = testing_support::responseBytes(
            200, {{"Content-Type", "text/html; charset=utf-8"}}, sharePage(m_server, song));
        m_server.route(song.pageTarget, delay > 0ms ? Reply{}.wait(delay).send(page) : Reply{}.send(page));
        m_server.route(song.mediaTarget,
                       testing_support::respond(200, {{"Content-Type", "audio/mp4"}}, song.media));
    }

    [[nodiscard]] std::string link(const Song& song) const { return m_server.url(song.pageTarget); }

    [[nodiscard]] fs::path fileOf(const Song& song) const { return m_programDirectory / song.fileName(); }

    // Like waitUntil, but gives up at once when the program has ended.
    template <class Condition>
    [[nodiscard]] bool waitWhileRunning(Condition condition, std::chrono::milliseconds limit = kDeadline) {
        return waitUntil([&] { return condition() || !m_program->running(); }, limit) && m_program->running();
    }

    [[nodiscard]] bool clipboardHolds(const std::string& text) { return m_desktop->clipboardText() == text; }

    // Copies `text` and waits until the clipboard offers it, for tests that need it there before
    // they go on.
    [[nodiscard]] bool copyAndWaitUntilOffered(const std::string& text) {
        return m_desktop->copyText(text) && waitWhileRunning([&] { return clipboardHolds(text); });
    }

    // Waits until the song's file holds exactly its media.
    [[nodiscard]] bool waitForFile(const Song& song) {
        return waitWhileRunning([&] { return e2e::readWholeFile(fileOf(song)) == song.media; });
    }

    // Waits until the cycle for the song is over: its file is saved and the clipboard emptied. The
    // next link must wait for that, or the emptying could take it off the clipboard.
    [[nodiscard]] bool waitForDownload(const Song& song) {
        return waitForFile(song) && waitWhileRunning([&] { return clipboardHolds(""); });
    }

    // Clicks Start and waits for the empty text that Start puts on the clipboard (the clipboard
    // must hold something else before). A click that comes before the new window takes input is
    // lost, so it is repeated; a further click on the disabled Start button does nothing.
    [[nodiscard]] bool startMonitoring() {
        for (int attempt = 0; attempt < 4; ++attempt) {
            if (!m_desktop->click(m_window, kStartX, kButtonY)) {
                return false;
            }
            if (waitWhileRunning([&] { return clipboardHolds(""); }, kDeadline / 4)) {
                return true;
            }
        }
        return false;
    }

    // Clicks Stop and reads the clipboard, which the program owns at this point (it emptied it): it
    // answers that read in the same pass of its event loop that handles the click delivered before
    // it, so no tick can run between the read and the switch going off.
    [[nodiscard]] bool stopMonitoring() {
        return m_desktop->click(m_window, kStopX, kButtonY) && clipboardHolds("");
    }

    // The targets the server was asked for, in order.
    [[nodiscard]] std::vector<std::string> requestedTargets() const {
        std::vector<std::string> targets;
        for (const testing_support::RecordedRequest& request : m_server.requests()) {
            targets.push_back(request.target);
        }
        return targets;
    }

    [[nodiscard]] std::vector<std::string> programDirectoryEntries() const {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(m_programDirectory)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static inline fs::path s_suiteDirectory;
    static inline std::unique_ptr<VirtualDisplay> s_display;
    static inline std::string s_displayError;

    std::optional<Desktop> m_desktop;
    ScriptedHttpServer m_server;
    fs::path m_directory;
    fs::path m_programDirectory;
    std::unique_ptr<ChildProcess> m_program;
    WindowId m_window = 0;

    const Song m_song = song("A1b2C3", "晴天小鱼", "春风十里", 1);
    // A second song, copied once the case under test is over: when its file appears, the program
    // has been ticking all along, so what did not happen before it really did not.
    const Song m_probe = song("P9q8R7", "夜航船", "山海之间", 2);
    const Song m_other = song("E5f6G7", "南风", "旧信", 3);
};

TEST_F(MonitorEndToEndTest, CopiedLinkIsSavedNextToTheProgramAndTheClipboardEmptied) {
    serve(m_song);
    ASSERT_TRUE(copyAndWaitUntilOffered("copied before the program was switched on"));
    ASSERT_TRUE(startMonitoring());

    ASSERT_TRUE(m_desktop->copyText(link(m_song)));
    ASSERT_TRUE(waitForFile(m_song)) << "no file " << fileOf(m_song);
    EXPECT_TRUE(waitWhileRunning([&] { return clipboardHolds(""); })) << "the clipboard was not emptied";

    EXPECT_EQ(e2e::readWholeFile(fileOf(m_song)), m_song.media);
    std::vector<std::string> expectedEntries{m_song.fileName(), "tarlowen"};
    std::sort(expectedEntries.begin(), expectedEntries.end());
    EXPECT_EQ(programDirectoryEntries(), expectedEntries);
    EXPECT_EQ(requestedTargets(), (std::vector<std::string>{m_song.pageTarget, m_song.mediaTarget}));

    // The window while monitoring, for the project's documentation.
    EXPECT_TRUE(m_desktop->saveScreenshot(m_window, TARLOWEN_SCREENSHOT_PATH));
}

TEST_F(MonitorEndToEndTest, LinkCopiedBeforeStartIsNeverFetched) {
    serve(m_other);
    serve(m_probe);
    ASSERT_TRUE(copyAndWaitUntilOffered(link(m_other)));
    ASSERT_TRUE(startMonitoring()) << "Start did not empty the clipboard";

    ASSERT_TRUE(m_desktop->copyText(link(m_probe)));
    ASSERT_TRUE(waitForDownload(m_probe));

    EXPECT_EQ(requestedTargets(), (std::vector<std::string>{m_probe.pageTarget, m_probe.mediaTarget}));
    EXPECT_FALSE(fs::exists(fileOf(m_other)));
}

TEST_F(MonitorEndToEndTest, AfterStopACopiedLinkStaysOnTheClipboardUntilTheNextStartDiscardsIt) {
    serve(m_song);
    serve(m_other);
    serve(m_probe);
    ASSERT_TRUE(copyAndWaitUntilOffered("copied before the program was switched on"));
    ASSERT_TRUE(startMonitoring());
    ASSERT_TRUE(m_desktop->copyText(link(m_song)));
    ASSERT_TRUE(waitForDownload(m_song));

    ASSERT_TRUE(stopMonitoring());
    ASSERT_TRUE(copyAndWaitUntilOffered(link(m_other)));
    // An absence can only be watched for a while: four periods of the monitor's 500 ms timer, in
    // which a running monitor would have taken the link.
    const Clock::time_point watchEnd = Clock::now() + 2s;
    while (Clock::now() < watchEnd) {
        ASSERT_EQ(m_desktop->clipboardText(), link(m_other));
        std::this_thread::sleep_for(100ms);
    }

    // Start again: it empties the clipboard, so the link copied while stopped is never fetched.
    ASSERT_TRUE(startMonitoring());
    ASSERT_TRUE(m_desktop->copyText(link(m_probe)));
    ASSERT_TRUE(waitForDownload(m_probe));

    EXPECT_EQ(requestedTargets(), (std::vector<std::string>{m_song.pageTarget, m_song.mediaTarget,
                                                            m_probe.pageTarget, m_probe.mediaTarget}));
    EXPECT_FALSE(fs::exists(fileOf(m_other)));
}

// A page slower than the timer's period: ticks fall due while the fetch runs (and the fetch lets
// waiting events through), yet the link is fetched and saved once.
TEST_F(MonitorEndToEndTest, PageSlowerThanThePeriodIsFetchedOnce) {
    serve(m_song, 1500ms);
    serve(m_probe);
    ASSERT_TRUE(copyAndWaitUntilOffered("copied before the program was switched on"));
    ASSERT_TRUE(startMonitoring());

    ASSERT_TRUE(m_desktop->copyText(link(m_song)));
    ASSERT_TRUE(waitForDownload(m_song));
    ASSERT_TRUE(m_desktop->copyText(link(m_probe)));
    ASSERT_TRUE(waitForDownload(m_probe));

    EXPECT_EQ(requestedTargets(), (std::vector<std::string>{m_song.pageTarget, m_song.mediaTarget,
                                                            m_probe.pageTarget, m_probe.mediaTarget}));
    EXPECT_EQ(e2e::readWholeFile(fileOf(m_song)), m_song.media);
}

}  // namespace
}  // namespace tarlowen
