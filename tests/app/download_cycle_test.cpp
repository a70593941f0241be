#include "app/download_cycle.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "support/case_name.hpp"
#include "support/fake_clipboard.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;
using testing_support::FakeClipboard;
using testing_support::PrintTo;
using namespace std::string_view_literals;

ByteSet bytes(std::string_view text) {
    return ByteSet(text.begin(), text.end());
}

struct WriteCall {
    fs::path directory;
    Text fileName;
    ByteSet data;
};

// The cycle wired to fakes that return canned answers and record what they were asked.
struct CycleRig {
    explicit CycleRig(std::optional<Text> clipboardText, Text pageText = {}, MediaResponse mediaResponse = {})
        : clipboard(std::move(clipboardText)), page(std::move(pageText)), media(std::move(mediaResponse)) {}

    DownloadCycle makeCycle(DownloadCycle::MediaWriter writer = {}) {
        if (!writer) {
            writer = [this](const fs::path& into, std::string_view fileName, const ByteSet& data) {
                writes.push_back({into, Text(fileName), data});
                return MediaWriteResult::Written;
            };
        }
        return DownloadCycle(
            clipboard,
            [this](const Text& url) {
                pageUrls.push_back(url);
                if (onPageFetch) {
                    onPageFetch();
                }
                return page;
            },
            [this](const Text& url) {
                mediaUrls.push_back(url);
                return media;
            },
            directory, std::move(writer));
    }

    FakeClipboard clipboard;
    Text page;
    MediaResponse media;
    fs::path directory = "/srv/program";
    std::function<void()> onPageFetch;
    std::vector<Text> pageUrls;
    std::vector<Text> mediaUrls;
    std::vector<WriteCall> writes;
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
    MediaResponse media;
    // Expected: nullopt when the tick ends before fetching anything.
    std::optional<Text> mediaUrl;
    Text fileName;
    ByteSet written;
};

class DownloadCycleTest : public ::testing::TestWithParam<CycleCase> {};

TEST_P(DownloadCycleTest, FetchesWritesAndEmptiesClipboard) {
    const CycleCase& c = GetParam();
    CycleRig rig(c.clipboard, c.page, c.media);
    DownloadCycle cycle = rig.makeCycle();

    cycle.OnTick();

    if (!c.mediaUrl) {
        EXPECT_TRUE(rig.pageUrls.empty());
        EXPECT_TRUE(rig.mediaUrls.empty());
        EXPECT_TRUE(rig.writes.empty());
        EXPECT_EQ(rig.clipboard.replacements, 0);
        EXPECT_EQ(rig.clipboard.content, c.clipboard);
        return;
    }
    ASSERT_EQ(rig.pageUrls.size(), 1U);
    EXPECT_EQ(rig.pageUrls[0], *c.clipboard);  // used as read, not trimmed
    ASSERT_EQ(rig.mediaUrls.size(), 1U);
    EXPECT_EQ(rig.mediaUrls[0], *c.mediaUrl);
    ASSERT_EQ(rig.writes.size(), 1U);
    EXPECT_EQ(rig.writes[0].directory, rig.directory);
    EXPECT_EQ(rig.writes[0].fileName, c.fileName);
    EXPECT_EQ(rig.writes[0].data, c.written);
    EXPECT_EQ(rig.clipboard.replacements, 1);
    EXPECT_EQ(rig.clipboard.content, Text());
}

const ByteSet kSong = bytes("\x00\x01song-bytes\xFF"sv);
const MediaResponse kOk{kSong, 200};

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
                  MediaResponse{bytes("<h1>404</h1>"), 404},
                  "m",
                  "n - s.m4a",
                  {}},
        CycleCase{"redirectIsNoData",
                  "u",
                  sharePage("m", "s", "n"),
                  MediaResponse{bytes("moved"), 302},
                  "m",
                  "n - s.m4a",
                  {}},
        CycleCase{"noResponseIsNoData",
                  "u",
                  sharePage("m", "s", "n"),
                  MediaResponse{bytes("partial"), 0},
                  "m",
                  "n - s.m4a",
                  {}},
        CycleCase{"emptySuccessIsNoData",
                  "u",
                  sharePage("m", "s", "n"),
                  MediaResponse{{}, 200},
                  "m",
                  "n - s.m4a",
                  {}},
        CycleCase{"anySuccessStatusIsData", "u", sharePage("m", "s", "n"), MediaResponse{kSong, 206}, "m",
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
    EXPECT_EQ(rig.writes.size(), 1U);
    EXPECT_EQ(rig.clipboard.replacements, 1);
    EXPECT_FALSE(cycle.running());
}

TEST(DownloadCycleNestingTest, SameLinkCopiedAgainIsFetchedAgain) {
    CycleRig rig(Text("link"), sharePage("m", "s", "n"), kOk);
    DownloadCycle cycle = rig.makeCycle();

    cycle.OnTick();
    cycle.OnTick();  // the clipboard is empty now: nothing happens
    rig.clipboard.content = "link";
    cycle.OnTick();

    EXPECT_EQ(rig.pageUrls, (std::vector<Text>{"link", "link"}));
    ASSERT_EQ(rig.writes.size(), 2U);
    EXPECT_EQ(rig.writes[1].fileName, "n - s.m4a");
}

// The cycle on the real file system, in a directory of its own.
class DownloadCycleFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tarlowen-cycle-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_directory = pattern;
    }
    void TearDown() override { fs::remove_all(m_directory); }

    [[nodiscard]] std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_directory)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    static std::string contentOf(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path m_directory;
};

TEST_F(DownloadCycleFilesTest, NonAddressLeavesEmptyFileAndEmptiesClipboard) {
    CycleRig rig(Text("just some text"));
    rig.directory = m_directory;
    DownloadCycle cycle = rig.makeCycle(writeMediaFile);

    cycle.OnTick();

    EXPECT_EQ(entries(), std::vector<std::string>{" - .m4a"});
    EXPECT_EQ(fs::file_size(m_directory / " - .m4a"), 0U);
    EXPECT_EQ(rig.clipboard.content, Text());
}

TEST_F(DownloadCycleFilesTest, SongIsSavedUnderUtf8Name) {
    CycleRig rig(Text("link"), sharePage("m", "\xB8\xE8", "\xD6\xD0\xCE\xC4"), kOk);
    rig.directory = m_directory;
    DownloadCycle cycle = rig.makeCycle(writeMediaFile);

    cycle.OnTick();

    const std::string expectedName = "\xE4\xB8\xAD\xE6\x96\x87 - \xE6\xAD\x8C.m4a";  // 中文 - 歌.m4a
    EXPECT_EQ(entries(), std::vector<std::string>{expectedName});
    EXPECT_EQ(contentOf(m_directory / expectedName), std::string(kSong.begin(), kSong.end()));
}

TEST_F(DownloadCycleFilesTest, ErrorPageKeepsEarlierDownload) {
    { std::ofstream(m_directory / "n - s.m4a", std::ios::binary) << "earlier song"; }
    CycleRig rig(Text("link"), sharePage("m", "s", "n"), MediaResponse{bytes("Service Unavailable"), 503});
    rig.directory = m_directory;
    DownloadCycle cycle = rig.makeCycle(writeMediaFile);

    cycle.OnTick();

    EXPECT_EQ(contentOf(m_directory / "n - s.m4a"), "earlier song");
    EXPECT_EQ(entries().size(), 1U);
    EXPECT_EQ(rig.clipboard.content, Text());
}

TEST_F(DownloadCycleFilesTest, FailedWriteKeepsEarlierDownloadAndStillEmptiesClipboard) {
    { std::ofstream(m_directory / "n - s.m4a", std::ios::binary) << "earlier"; }
    CycleRig rig(Text("link"), sharePage("m", "s", "n"), MediaResponse{ByteSet(4096, 0x42), 200});
    rig.directory = m_directory;
    MediaWriteResult result = MediaWriteResult::Written;
    DownloadCycle cycle =
        rig.makeCycle([&](const fs::path& directory, std::string_view name, const ByteSet& data) {
            // A file size limit makes the write fail halfway, whoever runs the test.
            rlimit saved{};
            ::getrlimit(RLIMIT_FSIZE, &saved);
            const rlimit tight{100, saved.rlim_max};
            ::setrlimit(RLIMIT_FSIZE, &tight);
            const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
            result = writeMediaFile(directory, name, data);
            std::signal(SIGXFSZ, previousHandler);
            ::setrlimit(RLIMIT_FSIZE, &saved);
            return result;
        });

    cycle.OnTick();

    EXPECT_EQ(result, MediaWriteResult::Failed);
    EXPECT_EQ(contentOf(m_directory / "n - s.m4a"), "earlier");
    EXPECT_EQ(entries().size(), 1U);  // no temporary file left behind
    EXPECT_EQ(rig.clipboard.content, Text());
}

TEST_F(DownloadCycleFilesTest, MissingProgramDirectoryStillEmptiesClipboard) {
    CycleRig rig(Text("link"), sharePage("m", "s", "n"), kOk);
    rig.directory = m_directory / "gone";
    DownloadCycle cycle = rig.makeCycle(writeMediaFile);

    cycle.OnTick();

    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(rig.clipboard.content, Text());
}

}  // namespace
}  // namespace tarlowen
