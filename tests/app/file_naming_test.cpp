#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "app/download_cycle.hpp"
#include "support/case_name.hpp"
#include "support/fake_clipboard.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing_support::FakeClipboard;
using testing_support::PrintTo;

// A page as the service embeds its data, with the values written raw into it.
Text sharePage(std::string_view songName, std::string_view nick) {
    return "{\"playurl\":\"http://media/x\",\"song_name\":\""s + Text(songName) + "\",\"nick\":\"" +
           Text(nick) + "\"}";
}

struct HostileSong {
    const char* name;
    Text nick;
    Text songName;
    std::string savedAs;  // UTF-8, as it lands in the directory
};

// The whole road from the page's values to the disk: the cycle's cleaning, the conversion to the
// file system's name and the real write into a scratch directory.
class HostileNameCycleTest : public ::testing::TestWithParam<HostileSong> {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tarlowen-naming-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_directory = pattern;
    }
    void TearDown() override { fs::remove_all(m_directory); }

    fs::path m_directory;
};

// Every hostile title is saved, inside the directory, under the expected name, and the clipboard is
// emptied: a title is never lost to its bytes.
TEST_P(HostileNameCycleTest, SongIsSavedUnderASafeName) {
    const HostileSong& c = GetParam();
    FakeClipboard clipboard("http://share/1");
    const Text page = sharePage(c.songName, c.nick);
    DownloadCycle cycle(
        clipboard, [&](const Text&) { return page; },
        [](const Text&, const MediaSink& sink) {
            static constexpr std::uint8_t kSong[] = {'m', '4', 'a'};
            return sink({200, sizeof kSong, kSong}) ? 200 : 0;
        },
        MediaFolders{m_directory, {}});

    cycle.OnTick();

    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(m_directory)) {
        names.push_back(entry.path().filename().string());
    }
    ASSERT_EQ(names, std::vector<std::string>{c.savedAs});
    std::ifstream file(m_directory / c.savedAs, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "m4a");
    EXPECT_EQ(clipboard.content, Text());
}

std::string repeat(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

// 0x80 and 0xFF are one-byte characters in code page 936 (the euro sign, E2 82 AC, and U+F8F5,
// EF A3 B5) though the text routines take both for lead bytes, so a "/" or a control byte after them
// gets past the cleaning and is removed from the converted name.
INSTANTIATE_TEST_SUITE_P(
    Cases, HostileNameCycleTest,
    ::testing::Values(
        HostileSong{"terminalEscapesAndLineBreaks", "n", "a\x01\x02\x1b[31m\tb\rc\nd", "n - a[31mbcd.m4a"},
        HostileSong{"deleteAndZero", "n\x7F", "x\0y"s, "n - xy.m4a"},
        HostileSong{"nineCharactersStillRemoved", "a\\b", "..\\/..\\/What? A:B*<C>|",
                    "ab - ....What ABC.m4a"},
        HostileSong{"slashAfterEuroSign", "n", "\x80/etc/passwd",
                    "n - \xE2\x82\xAC"
                    "etcpasswd.m4a"},
        HostileSong{"slashAfterByteFF", "\xFF/", "s", "\xEF\xA3\xB5 - s.m4a"},
        HostileSong{"lineBreakAfterEuroSign", "n", "\x80\n\x80\r", "n - \xE2\x82\xAC\xE2\x82\xAC.m4a"},
        // The code page reads 80 as a character and A1 as the first byte of the next one, which would
        // take the "." of ".m4a" (or the space of " - ") along: the part loses that byte instead.
        HostileSong{"titleEndingInHalfACharacter", "n", "A\x80\xA1", "n - A\xE2\x82\xAC.m4a"},
        HostileSong{"nickEndingInHalfACharacter", "\xFF\xD6", "s", "\xEF\xA3\xB5 - s.m4a"},
        HostileSong{"everythingRemoved", "/\x01", "\x1b:", " - .m4a"},
        HostileSong{"dotsOnly", "..", "..", ".. - ...m4a"},
        HostileSong{"longTitleOfEuroAndSlash", "n", repeat("\x80/", 200),
                    "n - " + repeat("\xE2\x82\xAC", 82) + ".m4a"}),
    testing_support::CaseName{});

}  // namespace
}  // namespace tarlowen
