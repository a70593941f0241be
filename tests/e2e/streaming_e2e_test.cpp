// The real program saving a large song: it streams the body into the file, so its peak resident
// memory during the download stays within a fixed margin of what it holds when idle, whatever the
// song's size. Runs the program under its own Xvfb, driven with xclip and xdotool, against a
// loopback server standing in for the service.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/program_fixture.hpp"
#include "e2e/stand_in_service.hpp"
#include "support/scratch_files.hpp"
#include "support/scripted_http_server.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kDeadline = 60s;  // a sanitizer build on two busy cores
constexpr std::chrono::milliseconds kPoll = 20ms;
constexpr std::size_t kSongBytes = std::size_t{64} << 20;
constexpr long kMarginKiB = 32 * 1024;

TEST(StreamingEndToEndTest, LargeSongIsSavedWholeInConstantMemory) {
    const fs::path directory = e2e::makeTemporaryDirectory("tarlowen-stream-e2e-");
    ASSERT_FALSE(directory.empty());
    std::string displayError;
    std::unique_ptr<e2e::VirtualDisplay> display =
        e2e::VirtualDisplay::start(directory / "xvfb.log", kDeadline, displayError);
    ASSERT_NE(display, nullptr) << displayError;
    e2e::Desktop desktop(*display);

    const e2e::ProgramCopy copy = e2e::copyProgramInto(directory);
    const fs::path& programDirectory = copy.directory;

    // What killed runs leave: a temporary file whose process is gone goes at start-up; one whose
    // process still runs (this test's) stays.
    const pid_t ended = ::fork();
    if (ended == 0) {
        ::_exit(0);
    }
    int endedStatus = 0;
    ::waitpid(ended, &endedStatus, 0);
    const std::string staleName = ".tarlowen-" + std::to_string(ended) + "-0.part";
    const std::string liveName = ".tarlowen-" + std::to_string(::getpid()) + "-0.part";
    std::ofstream(programDirectory / staleName) << "left by a killed run";
    std::ofstream(programDirectory / liveName) << "a running writer's";

    const std::string media = testing_support::madeUpMedia(kSongBytes, 3);
    testing_support::ScriptedHttpServer server;
    const std::string page =
        "<html><head><meta charset=\"utf-8\"></head><body><script>var d = {\"nick\":\"大歌\","
        "\"song_name\":\"长曲\",\"playurl\":\"" +
        server.url("/media/long.m4a") + "\"};</script></body></html>";
    server.route("/play?s=L1",
                 testing_support::respond(200, {{"Content-Type", "text/html; charset=utf-8"}}, page));
    server.route("/media/long.m4a", testing_support::respond(200, {{"Content-Type", "audio/mp4"}}, media));
    const fs::path song = programDirectory / "大歌 - 长曲.m4a";

    e2e::ChildProcess program(
        {copy.executable.string()},
        e2e::environmentWith({"DISPLAY=" + display->name(), "QT_QPA_PLATFORM=xcb",
                              "XDG_RUNTIME_DIR=" + copy.runtime.string(), "ASAN_OPTIONS=detect_leaks=0"}),
        directory / "tarlowen.log");
    const std::optional<e2e::WindowId> window = e2e::waitForProgramWindow(desktop, program, kDeadline);
    ASSERT_TRUE(window) << "the window never appeared";

    ASSERT_TRUE(desktop.copyText("not a link"));
    ASSERT_TRUE(e2e::waitFor([&] { return desktop.clipboardText() == "not a link"; }, kDeadline, kPoll));
    ASSERT_TRUE(e2e::clickStart(desktop, *window, program, kDeadline));

    const long idleKiB = e2e::processStatusKiB(program.pid(), "VmHWM").value_or(-1);
    ASSERT_GT(idleKiB, 0);
    ASSERT_TRUE(desktop.copyText(server.url("/play?s=L1")));
    ASSERT_TRUE(e2e::waitFor(
                    [&] {
                        return desktop.clipboardText() == "" && fs::exists(song) &&
                               fs::file_size(song) == kSongBytes;
                    },
                    kDeadline, kPoll) ||
                !program.running())
        << "the song was not saved";
    const long peakKiB = e2e::processStatusKiB(program.pid(), "VmHWM").value_or(-1);
    ASSERT_GT(peakKiB, 0) << "the program ended during the download";

    EXPECT_TRUE(e2e::readWholeFile(song) == media) << "the saved song differs from the media";
    EXPECT_LE(peakKiB, idleKiB + kMarginKiB)
        << "idle peak " << idleKiB << " KiB, download peak " << peakKiB << " KiB";
    std::cout << "resident peak: " << idleKiB / 1024 << " MiB idle, " << peakKiB / 1024 << " MiB after a "
              << kSongBytes / (1 << 20) << " MiB song\n";
    const std::vector<std::string> names = e2e::directoryEntries(programDirectory);
    std::vector<std::string> expected{liveName, song.filename().string(), "tarlowen"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected) << "a temporary file was left, or a stale one kept";

    EXPECT_TRUE(desktop.closeWindow(*window));
    EXPECT_EQ(program.waitFor(kDeadline).value_or(-1), 0)
        << e2e::readWholeFile(directory / "tarlowen.log").value_or("");
    std::error_code ignored;
    if (!HasFailure()) {
        fs::remove_all(directory, ignored);
    }
}

}  // namespace
}  // namespace tarlowen
