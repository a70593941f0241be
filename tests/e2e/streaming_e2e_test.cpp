// The real program saving a large song: it streams the body into the file, so its peak resident
// memory during the download stays within a fixed margin of what it holds when idle, whatever the
// song's size. Runs the program under its own Xvfb, driven with xclip and xdotool, against a
// loopback server standing in for the service.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
using Clock = std::chrono::steady_clock;

constexpr std::string_view kWindowTitlePattern = "^TarlowenV0\\.1 byOstrel$";
constexpr int kStartX = 52;  // the centre of Start, 104 x 48 at (0, 288) in the client area
constexpr int kButtonY = 288 + 24;
constexpr std::chrono::milliseconds kDeadline = 60s;  // a sanitizer build on two busy cores
constexpr std::size_t kSongBytes = std::size_t{64} << 20;
constexpr long kMarginKiB = 32 * 1024;

template <class Condition>
[[nodiscard]] bool waitUntil(Condition condition, std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A field of /proc/PID/status in KiB ("VmHWM" is the peak resident set so far); -1 when unreadable.
[[nodiscard]] long statusKiB(pid_t pid, std::string_view field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

[[nodiscard]] std::string madeUpMedia(std::size_t size) {
    std::string bytes(size, '\0');
    unsigned state = 3;
    for (char& byte : bytes) {
        state = state * 1103515245U + 12345U;
        byte = static_cast<char>(state >> 16U);
    }
    return bytes;
}

[[nodiscard]] fs::path makeTemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "tarlowen-stream-e2e-XXXXXX").string();
    return ::mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : fs::path();
}

TEST(StreamingEndToEndTest, LargeSongIsSavedWholeInConstantMemory) {
    const fs::path directory = makeTemporaryDirectory();
    ASSERT_FALSE(directory.empty());
    std::string displayError;
    std::unique_ptr<e2e::VirtualDisplay> display =
        e2e::VirtualDisplay::start(directory / "xvfb.log", kDeadline, displayError);
    ASSERT_NE(display, nullptr) << displayError;
    e2e::Desktop desktop(*display);

    const fs::path programDirectory = directory / "program";
    fs::create_directory(programDirectory);
    fs::copy_file(TARLOWEN_PROGRAM_PATH, programDirectory / "tarlowen");
    const fs::path runtime = directory / "runtime";
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);

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

    const std::string media = madeUpMedia(kSongBytes);
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
        {(programDirectory / "tarlowen").string()},
        e2e::environmentWith({"DISPLAY=" + display->name(), "QT_QPA_PLATFORM=xcb",
                              "XDG_RUNTIME_DIR=" + runtime.string(), "ASAN_OPTIONS=detect_leaks=0"}),
        directory / "tarlowen.log");
    std::optional<e2e::WindowId> window;
    ASSERT_TRUE(waitUntil(
                    [&] {
                        return (window = desktop.findWindow(kWindowTitlePattern)).has_value() ||
                               !program.running();
                    },
                    kDeadline) &&
                window)
        << "the window never appeared";

    // Start empties the clipboard; a click before the window takes input is lost, so it is repeated.
    ASSERT_TRUE(desktop.copyText("not a link"));
    ASSERT_TRUE(waitUntil([&] { return desktop.clipboardText() == "not a link"; }, kDeadline));
    bool started = false;
    for (int attempt = 0; attempt < 4 && !started; ++attempt) {
        ASSERT_TRUE(desktop.click(*window, kStartX, kButtonY));
        started = waitUntil([&] { return desktop.clipboardText() == ""; }, kDeadline / 4);
    }
    ASSERT_TRUE(started);

    const long idleKiB = statusKiB(program.pid(), "VmHWM");
    ASSERT_GT(idleKiB, 0);
    ASSERT_TRUE(desktop.copyText(server.url("/play?s=L1")));
    ASSERT_TRUE(waitUntil(
                    [&] {
                        return desktop.clipboardText() == "" && fs::exists(song) &&
                               fs::file_size(song) == kSongBytes;
                    },
                    kDeadline) ||
                !program.running())
        << "the song was not saved";
    const long peakKiB = statusKiB(program.pid(), "VmHWM");

    EXPECT_TRUE(e2e::readWholeFile(song) == media) << "the saved song differs from the media";
    EXPECT_LE(peakKiB, idleKiB + kMarginKiB)
        << "idle peak " << idleKiB << " KiB, download peak " << peakKiB << " KiB";
    std::cout << "resident peak: " << idleKiB / 1024 << " MiB idle, " << peakKiB / 1024 << " MiB after a "
              << kSongBytes / (1 << 20) << " MiB song\n";
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(programDirectory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
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
