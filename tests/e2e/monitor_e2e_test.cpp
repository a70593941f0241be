// The real program under a private X server, driven the way its user drives it: links copied to the
// X clipboard with xclip, the Start and Stop buttons clicked with xdotool, the share pages and the
// media served by a loopback server that stands in for the song-sharing service.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/program_fixture.hpp"
#include "e2e/stand_in_service.hpp"
#include "support/scripted_http_server.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using e2e::kButtonY;
using e2e::kStopX;
using e2e::requestedTargets;
using Song = e2e::StandInSong;
using testing_support::Reply;
using testing_support::ScriptedHttpServer;
using Clock = std::chrono::steady_clock;

[[nodiscard]] Song song(const std::string& id, std::string nick, std::string name, unsigned seed) {
    return e2e::standInSong(id, std::move(nick), std::move(name), seed, 192 * 1024);
}

// A share page in UTF-8 that embeds the song's data the way the service's pages do, among other keys.
[[nodiscard]] std::string sharePage(const ScriptedHttpServer& server, const Song& song) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + song.name + "</title></head>\n" +
           "<body><div id=\"player\"></div><script>window.shareData = {\"detail\":{\"nick\":\"" + song.nick +
           "\",\"song_name\":\"" + song.name + "\",\"playurl\":\"" + server.url(song.mediaTarget) +
           "\",\"play_count\":1024}};</script></body></html>\n";
}

// The program under Xvfb with a stand-in service; a run from a Wayland session must not reach the
// user's compositor clipboard, so WAYLAND_DISPLAY is emptied for the program.
class MonitorEndToEndTest : public e2e::ProgramOnXvfbTest {
  protected:
    MonitorEndToEndTest() : ProgramOnXvfbTest({"WAYLAND_DISPLAY="}) {}

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

    // Clicks Stop and reads the clipboard, which the program owns at this point (it emptied it): it
    // answers that read in the same pass of its event loop that handles the click delivered before
    // it, so no tick can run between the read and the switch going off.
    [[nodiscard]] bool stopMonitoring() {
        return m_desktop->click(m_window, kStopX, kButtonY) && clipboardHolds("");
    }

    ScriptedHttpServer m_server;

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
    EXPECT_EQ(requestedTargets(m_server), (std::vector<std::string>{m_song.pageTarget, m_song.mediaTarget}));

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

    EXPECT_EQ(requestedTargets(m_server),
              (std::vector<std::string>{m_probe.pageTarget, m_probe.mediaTarget}));
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

    EXPECT_EQ(requestedTargets(m_server),
              (std::vector<std::string>{m_song.pageTarget, m_song.mediaTarget, m_probe.pageTarget,
                                        m_probe.mediaTarget}));
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

    EXPECT_EQ(requestedTargets(m_server),
              (std::vector<std::string>{m_song.pageTarget, m_song.mediaTarget, m_probe.pageTarget,
                                        m_probe.mediaTarget}));
    EXPECT_EQ(e2e::readWholeFile(fileOf(m_song)), m_song.media);
}

}  // namespace
}  // namespace tarlowen
