// The files layer against the system's file system: names from code page 936 as wide names,
// Windows' name rules made safe, the streamed replace through a temporary file and its limits, the
// read-only song kept, stale temporary files, long paths.
#include <gtest/gtest.h>
#include <windows.h>
// clang-format off
#include <tlhelp32.h>
// clang-format on

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "platform/files.hpp"
#include "support/case_name.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;
using testing_support::PrintTo;

TEST(ProgramDirectoryTest, IsTheFolderOfTheRunningExecutable) {
    wchar_t module[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, module, static_cast<DWORD>(std::size(module)));
    ASSERT_GT(length, 0u);
    const fs::path directory = programDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory, fs::path(std::wstring(module, length)).parent_path());
    EXPECT_TRUE(fs::is_directory(directory));
}

struct NameCase {
    const char* name;
    std::string fileName;  // code page 936
    std::string expected;  // UTF-8
};

class FileSystemNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(FileSystemNameTest, MakesWindowsNamesSafe) {
    EXPECT_EQ(fileSystemName(GetParam().fileName), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FileSystemNameTest,
    ::testing::Values(
        NameCase{"chineseToUtf8", "\xD6\xD0 - \xCE\xC4.m4a", "\xE4\xB8\xAD - \xE6\x96\x87.m4a"},
        NameCase{"forbiddenCharactersBecomeUnderscores", "a<b>c:d\"e|f?g*h\x01.m4a", "a_b_c_d_e_f_g_h_.m4a"},
        NameCase{"trailingDotsAndSpaces", "song. .", "song___"},
        NameCase{"deviceName", "CON.m4a", "CON_.m4a"},
        NameCase{"deviceNameAnyCaseWithSpaces", "com1 .x.m4a", "com1 _.x.m4a"},
        NameCase{"deviceNameAlone", "lpt9", "lpt9_"},
        NameCase{"notADeviceName", "CONSOLE - COM10.m4a", "CONSOLE - COM10.m4a"},
        NameCase{"separatorFails", "a\\b.m4a", ""}, NameCase{"slashFails", "a/b.m4a", ""},
        NameCase{"dotDotFails", "..", ""},
        NameCase{"longNameKeepsExtension", std::string(300, 'x') + ".m4a", std::string(251, 'x') + ".m4a"},
        NameCase{"longChineseNameCountsUnits",
                 [] {
                     std::string name;
                     for (int i = 0; i < 300; ++i)
                         name += "\xD6\xD0";
                     return name + ".m4a";
                 }(),
                 [] {
                     std::string name;
                     for (int i = 0; i < 251; ++i)
                         name += "\xE4\xB8\xAD";
                     return name + ".m4a";
                 }()}),
    testing_support::CaseName{});

class WriteMediaFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t base[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, base), 0u);
        // A folder of its own for each test: one whose removal failed never disturbs the next.
        static int serial = 0;
        m_directory = fs::path(base) / (L"tarlowen-files-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                        std::to_wstring(serial++));
        std::error_code ignored;
        fs::remove_all(m_directory, ignored);
        ASSERT_TRUE(fs::create_directories(m_directory));
    }
    void TearDown() override {
        // Through the long form, which also reaches what lies deeper than MAX_PATH.
        std::error_code ignored;
        fs::remove_all(fs::path(L"\\\\?\\" + m_directory.wstring()), ignored);
        fs::remove_all(m_directory, ignored);
    }

    static std::string contents(const fs::path& path) {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

    // Every entry of the directory but the listed ones: nothing stray is left behind.
    std::size_t entries() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(m_directory), fs::directory_iterator()));
    }

    fs::path m_directory;
};

TEST_F(WriteMediaFileTest, WritesAndReplacesUnderTheWideName) {
    const ByteSet first{'o', 'n', 'e'};
    const ByteSet second{'t', 'w', 'o', '!'};
    EXPECT_EQ(writeMediaFile(m_directory, "\xD6\xD0 - \xCE\xC4.m4a", first), MediaWriteResult::Written);
    const fs::path target = m_directory / L"\u4E2D - \u6587.m4a";
    EXPECT_EQ(contents(target), "one");
    EXPECT_EQ(writeMediaFile(m_directory, "\xD6\xD0 - \xCE\xC4.m4a", second), MediaWriteResult::Written);
    EXPECT_EQ(contents(target), "two!");
    EXPECT_EQ(entries(), 1u);  // no temporary file left
}

TEST_F(WriteMediaFileTest, NoDataCreatesEmptyFileOrKeepsExistingOne) {
    EXPECT_EQ(writeMediaFile(m_directory, "n - s.m4a", {}), MediaWriteResult::CreatedEmpty);
    EXPECT_TRUE(fs::exists(m_directory / "n - s.m4a"));
    EXPECT_EQ(writeMediaFile(m_directory, "n - s.m4a", ByteSet{'x'}), MediaWriteResult::Written);
    EXPECT_EQ(writeMediaFile(m_directory, "n - s.m4a", {}), MediaWriteResult::KeptExisting);
    EXPECT_EQ(contents(m_directory / "n - s.m4a"), "x");
}

TEST_F(WriteMediaFileTest, ReservedAndForbiddenNamesStillGiveAFile) {
    EXPECT_EQ(writeMediaFile(m_directory, "CON.m4a", ByteSet{'c'}), MediaWriteResult::Written);
    EXPECT_EQ(contents(m_directory / "CON_.m4a"), "c");
    EXPECT_EQ(writeMediaFile(m_directory, "a:b?.m4a", ByteSet{'d'}), MediaWriteResult::Written);
    EXPECT_EQ(contents(m_directory / "a_b_.m4a"), "d");  // not an alternate data stream of "a"
    EXPECT_EQ(entries(), 2u);
}

TEST_F(WriteMediaFileTest, DirectoryOfThatNameIsNotReplacedAndNothingIsLeft) {
    ASSERT_TRUE(fs::create_directory(m_directory / "taken.m4a"));
    EXPECT_EQ(writeMediaFile(m_directory, "taken.m4a", ByteSet{'x'}), MediaWriteResult::Failed);
    EXPECT_EQ(writeMediaFile(m_directory, "taken.m4a", {}), MediaWriteResult::Failed);
    EXPECT_TRUE(fs::is_directory(m_directory / "taken.m4a"));
    EXPECT_EQ(entries(), 1u);
}

TEST_F(WriteMediaFileTest, NamesThatWouldLeaveTheDirectoryFail) {
    EXPECT_EQ(writeMediaFile(m_directory, "..\\escaped.m4a", ByteSet{'x'}), MediaWriteResult::Failed);
    EXPECT_EQ(writeMediaFile(m_directory, "../escaped.m4a", ByteSet{'x'}), MediaWriteResult::Failed);
    EXPECT_EQ(writeMediaFile({}, "n.m4a", ByteSet{'x'}), MediaWriteResult::Failed);
    EXPECT_FALSE(fs::exists(m_directory.parent_path() / "escaped.m4a"));
    EXPECT_EQ(entries(), 0u);
}

TEST_F(WriteMediaFileTest, ReachesPathsLongerThanMaxPath) {
    fs::path deep = m_directory;
    for (int i = 0; i < 6; ++i) {
        deep /= std::wstring(60, static_cast<wchar_t>(L'a' + i));
    }
    ASSERT_GT(deep.wstring().size(), static_cast<std::size_t>(MAX_PATH));
    // Made through the long form too: the plain path is too long for the older calls.
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + m_directory.wstring()).c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    fs::path made = m_directory;
    for (int i = 0; i < 6; ++i) {
        made /= std::wstring(60, static_cast<wchar_t>(L'a' + i));
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + made.wstring()).c_str(), nullptr)) << GetLastError();
    }
    EXPECT_EQ(writeMediaFile(deep, "\xD6\xD0.m4a", ByteSet{'l', 'o', 'n', 'g'}), MediaWriteResult::Written);
    const std::wstring target = L"\\\\?\\" + (deep / L"\u4E2D.m4a").wstring();
    EXPECT_NE(GetFileAttributesW(target.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(WriteMediaFileTest, ReadOnlySongIsKeptAndAReplacedOneKeepsItsMarks) {
    ASSERT_EQ(writeMediaFile(m_directory, "ro.m4a", ByteSet{'o', 'l', 'd'}), MediaWriteResult::Written);
    const std::wstring readOnly = (m_directory / "ro.m4a").wstring();
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(writeMediaFile(m_directory, "ro.m4a", ByteSet{'n', 'e', 'w'}), MediaWriteResult::Failed);
    EXPECT_EQ(writeMediaFile(m_directory, "ro.m4a", {}), MediaWriteResult::KeptExisting);
    EXPECT_EQ(contents(m_directory / "ro.m4a"), "old");
    EXPECT_NE(GetFileAttributesW(readOnly.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL));  // so TearDown can remove it

    ASSERT_EQ(writeMediaFile(m_directory, "hidden.m4a", ByteSet{'1'}), MediaWriteResult::Written);
    const std::wstring hidden = (m_directory / "hidden.m4a").wstring();
    ASSERT_TRUE(SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(writeMediaFile(m_directory, "hidden.m4a", ByteSet{'2'}), MediaWriteResult::Written);
    EXPECT_EQ(contents(m_directory / "hidden.m4a"), "2");
    EXPECT_NE(GetFileAttributesW(hidden.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(entries(), 2u);
}

// A disk whose free space is its floor (256 MiB) plus `headroom`, less what the directory holds.
DiskSpaceProbe smallDisk(std::uint64_t headroom) {
    return [headroom](const fs::path& directory) -> std::optional<DiskSpace> {
        std::uint64_t used = 0;
        for (const auto& entry : fs::directory_iterator(directory)) {
            used += entry.file_size();
        }
        const std::uint64_t free = (std::uint64_t{256} << 20) + headroom;
        return DiskSpace{used < free ? free - used : 0, std::uint64_t{1} << 30};
    };
}

TEST_F(WriteMediaFileTest, StreamedSongStopsAtTheDiskFloorAndTheCapLeavingNothing) {
    ASSERT_EQ(writeMediaFile(m_directory, "n - s.m4a", ByteSet{'e'}), MediaWriteResult::Written);
    const std::vector<std::uint8_t> chunk(64 * 1024, 'x');
    const std::span<const std::uint8_t> piece(chunk);

    MediaFileWriter floorBound(m_directory, "n - s.m4a", {.diskSpace = smallDisk(200 * 1024)});
    EXPECT_TRUE(floorBound.append(piece));
    EXPECT_TRUE(floorBound.append(piece));
    EXPECT_TRUE(floorBound.append(piece));
    EXPECT_EQ(entries(), 2u);  // the song so far in its temporary file
    EXPECT_FALSE(floorBound.append(piece));
    EXPECT_EQ(floorBound.finish(), MediaWriteResult::Failed);
    EXPECT_EQ(entries(), 1u);

    MediaFileWriter capped(m_directory, "n - s.m4a", {.maxBytes = 100 * 1024});
    EXPECT_FALSE(capped.expect(100 * 1024 + 1));
    EXPECT_FALSE(capped.append(piece));
    EXPECT_EQ(contents(m_directory / "n - s.m4a"), "e");
    EXPECT_EQ(entries(), 1u);

    MediaFileWriter streamed(m_directory, "n - s.m4a");
    EXPECT_TRUE(streamed.expect(2 * chunk.size()));
    EXPECT_TRUE(streamed.append(piece));
    EXPECT_TRUE(streamed.append(piece));
    EXPECT_EQ(streamed.finish(), MediaWriteResult::Written);
    EXPECT_EQ(fs::file_size(m_directory / "n - s.m4a"), 2 * chunk.size());
    EXPECT_EQ(entries(), 1u);

    {
        MediaFileWriter dropped(m_directory, "d.m4a");
        EXPECT_TRUE(dropped.append(piece));
        EXPECT_EQ(entries(), 2u);
    }
    EXPECT_EQ(entries(), 1u);
}

// Another running process of this session (the system's own keep some): its temporary file stays.
DWORD otherRunningProcess() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == 0;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID != 0 && entry.th32ProcessID != GetCurrentProcessId()) {
            found = entry.th32ProcessID;
        }
    }
    CloseHandle(snapshot);
    return found;
}

TEST_F(WriteMediaFileTest, StaleTemporariesOfEndedProcessesAreRemovedAndNothingElse) {
    const auto put = [this](const std::string& name) {
        std::ofstream(m_directory / name, std::ios::binary) << "x";
    };
    const DWORD alive = otherRunningProcess();
    ASSERT_NE(alive, 0u);
    // Process ids are multiples of four and far below this one: no process has it.
    const std::string ended = "2147483644";
    const std::string own = std::to_string(GetCurrentProcessId());
    put(".tarlowen-" + ended + "-0.part");
    put(".tarlowen-" + own + "-3.part");
    put(".tarlowen-" + std::to_string(alive) + "-1.part");
    put(".tarlowen-" + ended + "-x.part");
    put(".tarlowen-" + ended + "-1.partial");
    put("tarlowen-" + ended + "-1.part");
    ASSERT_TRUE(fs::create_directory(m_directory / (".tarlowen-" + ended + "-7.part")));

    EXPECT_EQ(removeStaleTemporaries(m_directory), 2u);

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(m_directory)) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected{".tarlowen-" + std::to_string(alive) + "-1.part",
                                      ".tarlowen-" + ended + "-1.partial", ".tarlowen-" + ended + "-7.part",
                                      ".tarlowen-" + ended + "-x.part", "tarlowen-" + ended + "-1.part"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_EQ(removeStaleTemporaries(m_directory / "missing"), 0u);
}

TEST_F(WriteMediaFileTest, SongsGoNextToTheProgramElseToTheMusicFolderMadeWhenMissing) {
    const fs::path music = m_directory / "home" / "Music";
    EXPECT_EQ(saveDirectory(m_directory, music), m_directory);
    EXPECT_FALSE(fs::exists(music));
    EXPECT_EQ(entries(), 0u);  // the probe that asked is gone
    EXPECT_EQ(saveDirectory(m_directory / "gone", music), music);
    EXPECT_TRUE(fs::is_directory(music));
    std::ofstream(m_directory / "file") << "";
    EXPECT_EQ(saveDirectory(m_directory / "gone", m_directory / "file" / "Music"), std::nullopt);
    EXPECT_EQ(saveDirectory(m_directory / "gone", {}), std::nullopt);
}

TEST(DiskSpaceTest, TheSystemAnswersForTheTemporaryFolder) {
    const auto space = diskSpaceOf(fs::temp_directory_path());
    ASSERT_TRUE(space.has_value());
    EXPECT_GT(space->size, 0u);
    EXPECT_LE(space->available, space->size);
}

}  // namespace
}  // namespace tarlowen
