// The files layer against the system's file system: names from code page 936 as wide names,
// Windows' name rules made safe, the replace through a temporary file, long paths.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

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
        m_directory = fs::path(base) / (L"tarlowen-files-" + std::to_wstring(GetCurrentProcessId()));
        fs::remove_all(m_directory);
        ASSERT_TRUE(fs::create_directories(m_directory));
    }
    void TearDown() override {
        std::error_code ignored;
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

}  // namespace
}  // namespace tarlowen
