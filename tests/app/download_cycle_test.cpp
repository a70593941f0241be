#include "app/download_cycle.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/message_pump.hpp"
#include "support/case_name.hpp"
#include "support/fake_clipboard.hpp"
#include "support/scratch_files.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;
using testing_support::FakeClipboard;
using testing_support::filesIn;
using testing_support::PrintTo;
using testing_support::ScratchDirectory;
using namespace std::string_view_literals;

// A media answer as a fake transfer gives it: the body is handed to the sink in small pieces; a
// `cutAfter` stops it there as a lost connection would (the status then reads 0).
struct CannedMedia {
    int status = 0;
    std::string body;
    std::optional<std::size_t> cutAfter;
};

// The cycle wired to fakes that return canned answers and record what they were asked, saving into
// a scratch directory through the real files layer.
struct CycleRig {
    explicit CycleRig(std::optional<Text> clipboardText, Text pageText = {}, CannedMedia mediaAnswer = {})
        : clipboard(std::move(clipboardText)), page(std::move(pageText)), media(std::move(mediaAnswer)) {}

    DownloadCycle makeCycle(MediaFileLimits limits = {}) {
        return DownloadCycle(
            clipboard,
            [this](const Text& url) {
                pageUrls.push_back(url);
                if (onPageFetch) {
                    onPageFetch();
                }
                return page;
            },
            [this](const Text& url, const MediaSink& sink) { return fetchMedia(url, sink); },
            MediaFolders{directory.path(), musicDirectory}, std::move(limits),
            [this](std::string_view line) { reports.emplace_back(line); });
    }

    int fetchMedia(const Text& url, const MediaSink& sink) {
        mediaUrls.push_back(url);
        const std::size_t end = std::min(media.body.size(), media.cutAfter.value_or(media.body.size()));
        const auto* data = reinterpret_cast<const std::uint8_t*>(media.body.data());
        for (std::size_t at = 0; at < end; at += 3) {
            if (!sink({media.status, media.body.size(), {data + at, std::min<std::size_t>(3, end - at)}})) {
                return 0;
            }
            if (onPiece) {
                onPiece();
            }
        }
        return media.cutAfter ? 0 : media.status;
    }

    FakeClipboard clipboard;
    Text page;
    CannedMedia media;
    ScratchDirectory directory;
    fs::path musicDirectory;
    std::function<void()> onPageFetch;
    std::function<void()> onPiece;
    std::vector<Text> pageUrls;
    std::vector<Text> mediaUrls;
    std::vector<std::string> reports;
};

// A page as the service embeds its data, with the values written raw into it.
Text sharePage(std::string_view playurl, std::string_view songName, std::string_view nick) {
    return Text("<html><script>window.__DATA__={\"detail\":{\"playurl\":\"") + Text(playurl) +
           "\",\"song_name\":\"" + Text(songName) + "\",\"nick\":\"" + Text(nick) + "\"}}</script></html>";
}

struct CycleCase {
    const char* name;
    std::optional<Text> clipboard;
    Text page;
    CannedMedia media;
    // Expected: nullopt when the tick ends before fetching anything.
    std::optional<Text> mediaUrl;
    Text fileName;  // code page 936
    std::string saved;
};

class DownloadCycleTest : public ::testing::TestWithParam<CycleCase> {};

TEST_P(DownloadCycleTest, FetchesSavesAndEmptiesClipboard) {
    const CycleCase& c = GetParam();
    CycleRig rig(c.clipboard, c.page, c.media);
    ASSERT_FALSE(rig.directory.path().empty());
    DownloadCycle cycle = rig.makeCycle();

    cycle.OnTick();

    if (!c.mediaUrl) {
        EXPECT_TRUE(rig.pageUrls.empty());
        EXPECT_TRUE(rig.mediaUrls.empty());
        EXPECT_TRUE(filesIn(rig.directory.path()).empty());
        EXPECT_EQ(rig.clipboard.replacements, 0);
        EXPECT_EQ(rig.clipboard.content, c.clipboard);
        return;
    }
    ASSERT_EQ(rig.pageUrls.size(), 1U);
    EXPECT_EQ(rig.pageUrls[0], *c.clipboard);  // used as read, not trimmed
    ASSERT_EQ(rig.mediaUrls.size(), 1U);
    EXPECT_EQ(rig.mediaUrls[0], *c.mediaUrl);
    // The one file, under its UTF-8 name; no temporary file stays.
    EXPECT_EQ(filesIn(rig.directory.path()),
              (std::map<std::string, std::string>{{fileSystemName(c.fileName), c.saved}}));
    EXPECT_EQ(rig.clipboard.replacements, 1);
    EXPECT_EQ(rig.clipboard.content, Text());
    EXPECT_TRUE(rig.reports.empty());
}

const std::string kSong("\x00\x01song-bytes\xFF", 13);
const CannedMedia kOk{200, kSong};

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadCycleTest,
    ::testing::Values(
        CycleCase{"nothingOnClipboard", std::nullopt, {}, {}, std::nullopt, {}, {}},
        CycleCase{"emptyTextOnClipboard", Text(), {}, {}, std::nullopt, {}, {}},
        CycleCase{"sharePage", "https://songs.example/play?s=X1&g_f=personal",
                  sharePage("https:\\/\\/media.example\\/x1.m4a", "Song", "Singer"), kOk,
                  // Escapes of the embedded data are not decoded.
                  "https:\\/\\/media.example\\/x1.m4a", "Singer - Song.m4a", kSong},
        CycleCase{"blanksAreFetchedAsTheyAre", "  ", {}, {}, Text(), " - .m4a", {}},
        CycleCase{"notAnAddress", "some words", "<html>no data here</html>", {}, Text(), " - .m4a", {}},
        CycleCase{"nicknameLosesFirstFive", "u", sharePage("m", "s", "a\\b/c:d*e?f"), kOk, "m",
                  "abcdef - s.m4a", kSong},
        CycleCase{"nicknameLosesSecondFour", "u", sharePage("m", "s", "a<b>c|d"), kOk, "m", "abcd - s.m4a",
                  kSong},
        CycleCase{"escapedQuoteEndsNicknameEarly", "u", sharePage("m", "s", "ab\\\"cd"), kOk, "m",
                  "ab - s.m4a", kSong},
        // Two-byte characters stay whole, even one whose second byte is a backslash.
        CycleCase{"twoByteCharactersStay", "u", sharePage("m", "\xB8\xE8\x81\x5C", "\xD6\xD0\xCE\xC4!"), kOk,
                  "m", "\xD6\xD0\xCE\xC4! - \xB8\xE8\x81\x5C.m4a", kSong},
        CycleCase{"songNameWithSeparatorKeptWhole", "u", sharePage("m", "Live - 2020", "n"), kOk, "m",
                  "n - Live - 2020.m4a", kSong},
        CycleCase{"songNameCleanedLikeNickname", "u", sharePage("m", "..\\/..\\/What? A:B*<C>|", "n"), kOk,
                  "m", "n - ....What ABC.m4a", kSong},
        CycleCase{"firstMarkerWins", "u",
                  "\"playurl\":\"first\",\"song_name\":\"one\",\"nick\":\"x\","
                  "\"playurl\":\"second\",\"song_name\":\"two\",\"nick\":\"y\"",
                  kOk, "first", "x - one.m4a", kSong},
        CycleCase{"mediaMarkerMatchesEndOfLongerKey", "u",
                  "\"hdplayurl\":\"hd\",\"playurl\":\"plain\",\"song_name\":\"s\",\"nick\":\"n\"", kOk, "hd",
                  "n - s.m4a", kSong},
        CycleCase{"quotedMarkersNeedTheirQuote", "u",
                  "\"playurl\":\"m\",\"full_song_name\":\"wrong\",\"song_name\":\"right\",\"unick\":\"no\","
                  "\"nick\":\"yes\"",
                  kOk, "m", "yes - right.m4a", kSong},
        CycleCase{"emptyValues", "u", sharePage("", "", ""), kOk, Text(), " - .m4a", kSong},
        CycleCase{"valueWithoutClosingQuote", "u", "\"playurl\":\"m\",\"song_name\":\"s\",\"nick\":\"open",
                  kOk, "m", " - s.m4a", kSong},
        CycleCase{"errorPageIsNoData",
                  "u",
                  sharePage("m", "s", "n"),
                  CannedMedia{404, "<h1>404</h1>"},
                  "m",
                  "n - s.m4a",
                  {}},
        CycleCase{"redirectIsNoData",
                  "u",
                  sharePage("m", "s", "n"),
                  CannedMedia{302, "moved"},
                  "m",
                  "n - s.m4a",
                  {}},
        CycleCase{"cutShortIsNoData",
                  "u",
                  sharePage("m", "s", "n"),
                  CannedMedia{200, kSong, 7},
                  "m",
                  "n - s.m4a",
                  {}},
        CycleCase{"emptySuccessIsNoData",
                  "u",
                  sharePage("m", "s", "n"),
                  CannedMedia{200, ""},
                  "m",
                  "n - s.m4a",
                  {}},
        CycleCase{"anySuccessStatusIsData", "u", sharePage("m", "s", "n"), CannedMedia{206, kSong}, "m",
                  "n - s.m4a", kSong}),
    testing_support::CaseName{});

TEST(DownloadCycleNestingTest, TickDuringRunningCycleIsSkipped) {
    CycleRig rig(Text("link"), sharePage("m", "s", "n"), kOk);
    DownloadCycle cycle = rig.makeCycle();
    // The page fetch lets waiting events through; a timer tick among them arrives here.
    int nestedTicks = 0;
    rig.onPageFetch = [&] {
        EXPECT_TRUE(cycle.running());
        if (nestedTicks++ == 0) {  // nest once, so a failing guard does not recurse without end
            cycle.OnTick();
            cycle.OnTick();
        }
    };

    cycle.OnTick();

    EXPECT_EQ(nestedTicks, 1);
    EXPECT_EQ(rig.pageUrls.size(), 1U);
    EXPECT_EQ(rig.mediaUrls.size(), 1U);
    EXPECT_EQ(rig.clipboard.replacements, 1);
    EXPECT_FALSE(cycle.running());
}

TEST(DownloadCycleNestingTest, SameLinkCopiedAgainIsFetchedAgain) {
    CycleRig rig(Text("link"), sharePage("m", "s", "n"), kOk);
    DownloadCycle cycle = rig.makeCycle();

    cycle.OnTick();
    cycle.OnTick();  // the clipboard is empty now: nothing happens
    rig.clipboard.content = "link";
    rig.media.body = "second";
    cycle.OnTick();

    EXPECT_EQ(rig.pageUrls, (std::vector<Text>{"link", "link"}));
    EXPECT_EQ(filesIn(rig.directory.path()), (std::map<std::string, std::string>{{"n - s.m4a", "second"}}));
}

// What a cycle leaves when something fails on its way: a fetcher or the writer runs out of memory,
// a write fails, the program closes. The clipboard is emptied in every case, an earlier download
// keeps its content and no temporary file stays.
class DownloadCycleFailureTest : public ::testing::Test {
  protected:
    DownloadCycleFailureTest()
        : m_rig(Text("link"), sharePage("m", "s", "n"), CannedMedia{200, std::string(4096, 'B')}) {}

    void putEarlierDownload() {
        std::ofstream(m_rig.directory.path() / "n - s.m4a", std::ios::binary) << "earlier";
    }

    void expectOnly(const std::map<std::string, std::string>& files) {
        EXPECT_EQ(filesIn(m_rig.directory.path()), files);
        EXPECT_EQ(m_rig.clipboard.content, Text());
        EXPECT_EQ(m_rig.clipboard.replacements, 1);
    }

    CycleRig m_rig;
};

TEST_F(DownloadCycleFailureTest, PageFetcherOutOfMemoryCountsAsAFailedFetch) {
    m_rig.media = {};  // an empty address fetches nothing
    DownloadCycle cycle(
        m_rig.clipboard, [](const Text&) -> Text { throw std::bad_alloc(); },
        [this](const Text& url, const MediaSink& sink) { return m_rig.fetchMedia(url, sink); },
        MediaFolders{m_rig.directory.path(), {}});

    cycle.OnTick();

    EXPECT_EQ(m_rig.mediaUrls, std::vector<Text>{Text()});
    expectOnly({{" - .m4a", ""}});  // as for a page that gave nothing
}

TEST_F(DownloadCycleFailureTest, MediaFetcherOutOfMemoryMidBodyKeepsEarlierDownload) {
    putEarlierDownload();
    DownloadCycle cycle = m_rig.makeCycle();
    int pieces = 0;
    m_rig.onPiece = [&] {
        if (++pieces == 100) {
            throw std::bad_alloc();
        }
    };

    cycle.OnTick();

    EXPECT_EQ(pieces, 100);
    expectOnly({{"n - s.m4a", "earlier"}});
}

TEST_F(DownloadCycleFailureTest, WriterOutOfMemoryKeepsEarlierDownload) {
    putEarlierDownload();
    int probes = 0;
    DownloadCycle cycle =
        m_rig.makeCycle(MediaFileLimits{.diskSpace = [&](const fs::path&) -> std::optional<DiskSpace> {
            ++probes;
            throw std::bad_alloc();
        }});

    cycle.OnTick();

    EXPECT_GE(probes, 1);
    expectOnly({{"n - s.m4a", "earlier"}});
}

TEST_F(DownloadCycleFailureTest, FailedWriteKeepsEarlierDownloadOrLeavesAnEmptyFile) {
    // A file size limit makes the write fail partway, whoever runs the test.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit tight{100, saved.rlim_max};
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    DownloadCycle cycle = m_rig.makeCycle();
    cycle.OnTick();
    const std::map<std::string, std::string> withoutEarlier = filesIn(m_rig.directory.path());
    putEarlierDownload();
    m_rig.clipboard.content = "link";
    cycle.OnTick();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(withoutEarlier, (std::map<std::string, std::string>{{"n - s.m4a", ""}}));
    EXPECT_EQ(filesIn(m_rig.directory.path()),
              (std::map<std::string, std::string>{{"n - s.m4a", "earlier"}}));
    EXPECT_EQ(m_rig.clipboard.replacements, 2);
}

TEST_F(DownloadCycleFailureTest, ClosingAfterATransferWritesAndCreatesNothing) {
    bool closing = false;
    const auto previous = setTransferHeartbeatHandler([&] { return !closing; });
    DownloadCycle cycle = m_rig.makeCycle();

    // Closing during the media transfer: the song had arrived whole, yet nothing is saved.
    m_rig.onPiece = [&] { closing = m_rig.media.body.size() > 0; };
    cycle.OnTick();
    const auto afterMediaClose = filesIn(m_rig.directory.path());

    // Closing during the page fetch: the media is not even fetched, no empty file appears.
    m_rig.onPiece = {};
    closing = false;
    m_rig.onPageFetch = [&] { closing = true; };
    m_rig.clipboard.content = "link";
    cycle.OnTick();
    setTransferHeartbeatHandler(previous);

    EXPECT_TRUE(afterMediaClose.empty());
    EXPECT_TRUE(filesIn(m_rig.directory.path()).empty());
    EXPECT_EQ(m_rig.mediaUrls.size(), 1U);
    EXPECT_EQ(m_rig.clipboard.replacements, 2);
}

TEST_F(DownloadCycleFailureTest, NoWritableFolderNamesTheSongOnce) {
    CycleRig rig(Text("link"), sharePage("m", "\xB8\xE8", "n"), kOk);
    rig.musicDirectory = "/proc/no-music-here";
    DownloadCycle cycle(
        rig.clipboard, [&](const Text&) { return rig.page; },
        [&](const Text& url, const MediaSink& sink) { return rig.fetchMedia(url, sink); },
        MediaFolders{rig.directory.path() / "gone", rig.musicDirectory}, {},
        [&](std::string_view line) { rig.reports.emplace_back(line); });

    cycle.OnTick();

    ASSERT_EQ(rig.reports.size(), 1U);
    EXPECT_NE(rig.reports[0].find("\"n - \xE6\xAD\x8C.m4a\""), std::string::npos) << rig.reports[0];
    EXPECT_TRUE(rig.mediaUrls.empty());
    EXPECT_TRUE(filesIn(rig.directory.path()).empty());
    EXPECT_EQ(rig.clipboard.content, Text());
}

// ---- a program folder the user may not write, for real --------------------------------------------
//
// The suite runs as root, for whom every folder is writable; so this test starts a copy of this
// test program as the unprivileged user "nobody" (setpriv, its own HOME), which runs the cycles
// below (UnprivilegedSaveTest) and reports through its exit status and output.

constexpr const char* kUnprivilegedProgramVariable = "TARLOWEN_TEST_UNWRITABLE_PROGRAM_DIR";
constexpr const char* kUnprivilegedMusicVariable = "TARLOWEN_TEST_MUSIC_DIR";
constexpr const char* kUnprivilegedNoMusicVariable = "TARLOWEN_TEST_UNUSABLE_MUSIC_DIR";

TEST(UnprivilegedSaveTest, RunAsNobody) {
    const char* programDir = std::getenv(kUnprivilegedProgramVariable);
    const char* musicDir = std::getenv(kUnprivilegedMusicVariable);
    const char* noMusicDir = std::getenv(kUnprivilegedNoMusicVariable);
    if (programDir == nullptr || musicDir == nullptr || noMusicDir == nullptr) {
        GTEST_SKIP() << "runs only when started by UnwritableProgramFolderTest";
    }
    ASSERT_NE(::geteuid(), 0U);
    const auto fetchMedia = [](const Text&, const MediaSink& sink) {
        const std::string song = "a song for the music folder";
        return sink({200, song.size(), {reinterpret_cast<const std::uint8_t*>(song.data()), song.size()}})
                   ? 200
                   : 0;
    };
    FakeClipboard clipboard(Text("link"));
    DownloadCycle toMusic(
        clipboard, [](const Text&) { return sharePage("m", "s", "n"); }, fetchMedia,
        MediaFolders{programDir, musicDir});
    toMusic.OnTick();
    clipboard.content = "link";
    // Neither folder: the default reporter writes the line to standard error.
    DownloadCycle nowhere(
        clipboard, [](const Text&) { return sharePage("m", "\xB8\xE8", "n"); }, fetchMedia,
        MediaFolders{programDir, noMusicDir});
    nowhere.OnTick();
    EXPECT_EQ(clipboard.replacements, 2);
}

// Runs `command` through the shell; its exit status, with standard output and error in `output`.
int runShell(const std::string& command, std::string& output) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buffer[4096];
    while (const std::size_t count = std::fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, count);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(UnwritableProgramFolderTest, SongGoesToTheMusicFolderElseOneLineNamesIt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to start a run as another user";
    }
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const ScratchDirectory scratch;
    const fs::path base = scratch.path();
    ASSERT_FALSE(base.empty());
    fs::permissions(base, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    const fs::path program = base / "program";  // root's, as an installed program's folder would be
    const fs::path home = base / "home";        // nobody's own
    const fs::path lockedHome = base / "locked-home";
    fs::create_directory(program);
    fs::create_directory(home);
    fs::create_directory(lockedHome);
    ASSERT_EQ(::chown(home.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    fs::copy_file("/proc/self/exe", program / "app_tests");

    std::string output;
    const int status = runShell(
        "setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME=" + home.string() + " " +
            kUnprivilegedProgramVariable + "=" + program.string() + " " + kUnprivilegedMusicVariable + "=" +
            (home / "Music").string() + " " + kUnprivilegedNoMusicVariable + "=" +
            (lockedHome / "Music").string() + " ASAN_OPTIONS=detect_leaks=0 " +
            (program / "app_tests").string() + " --gtest_filter=UnprivilegedSaveTest.RunAsNobody",
        output);

    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    EXPECT_EQ(filesIn(home / "Music"),
              (std::map<std::string, std::string>{{"n - s.m4a", "a song for the music folder"}}));
    std::vector<std::string> programEntries;
    for (const auto& entry : fs::directory_iterator(program)) {
        programEntries.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(programEntries, std::vector<std::string>{"app_tests"});
    EXPECT_FALSE(fs::exists(lockedHome / "Music"));
    // One line naming the song that could not be saved, in UTF-8.
    EXPECT_NE(output.find("tarlowen: the song \"n - \xE6\xAD\x8C.m4a\" could not be saved"),
              std::string::npos)
        << output;
}

}  // namespace
}  // namespace tarlowen
