#include "platform/files.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/case_name.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;
using testing_support::PrintTo;

ByteSet bytes(std::string_view text) {
    return ByteSet(text.begin(), text.end());
}

std::string repeat(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

TEST(ProgramDirectoryTest, HoldsTheRunningExecutable) {
    const fs::path directory = programDirectory();
    ASSERT_TRUE(directory.is_absolute());
    EXPECT_TRUE(fs::equivalent(directory / "platform_tests", "/proc/self/exe"));
}

struct NameCase {
    const char* name;
    std::string fileName;  // code page 936
    std::string expected;  // UTF-8
};

class FileSystemNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(FileSystemNameTest, ConvertsAndShortens) {
    const NameCase& c = GetParam();
    const std::string result = fileSystemName(c.fileName);
    EXPECT_EQ(result, c.expected);
    EXPECT_LE(result.size(), kMaxFileNameBytes);
}

// "中" is D6 D0 in code page 936 and E4 B8 AD in UTF-8: two bytes grow to three.
INSTANTIATE_TEST_SUITE_P(
    Cases, FileSystemNameTest,
    ::testing::Values(NameCase{"ascii", "n - s.m4a", "n - s.m4a"},
                      NameCase{"twoByteCharacters", "\xD6\xD0\xCE\xC4 - \xB8\xE8.m4a",
                               "\xE4\xB8\xAD\xE6\x96\x87 - \xE6\xAD\x8C.m4a"},
                      NameCase{"euroSign", "\x80.m4a", "\xE2\x82\xAC.m4a"},
                      NameCase{"exactlyAtLimit", repeat("a", 251) + ".m4a", repeat("a", 251) + ".m4a"},
                      NameCase{"asciiOverLimit", repeat("a", 300) + ".m4a", repeat("a", 251) + ".m4a"},
                      // 84 characters would take 252 bytes; 83 leave room for the extension.
                      NameCase{"cutAtCharacterBoundary", repeat("\xD6\xD0", 100) + ".m4a",
                               repeat("\xE4\xB8\xAD", 83) + ".m4a"},
                      NameCase{"growsOverLimitOnlyOnceEncoded", repeat("\xD6\xD0", 90) + ".m4a",
                               repeat("\xE4\xB8\xAD", 83) + ".m4a"},
                      NameCase{"onlyLastExtensionKept", "a.b - " + repeat("x", 300) + ".m4a",
                               "a.b - " + repeat("x", 245) + ".m4a"},
                      NameCase{"noExtension", repeat("\xD6\xD0", 100), repeat("\xE4\xB8\xAD", 85)}),
    testing_support::CaseName{});

class WriteMediaFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tarlowen-files-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_directory = pattern;
    }
    void TearDown() override { fs::remove_all(m_directory); }

    void put(const std::string& name, std::string_view content) {
        std::ofstream(m_directory / name, std::ios::binary) << content;
    }

    [[nodiscard]] std::string contentOf(const std::string& name) const {
        std::ifstream in(m_directory / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    [[nodiscard]] std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_directory)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    fs::path m_directory;
};

TEST_F(WriteMediaFileTest, WritesNewFileUnderUtf8Name) {
    EXPECT_EQ(writeMediaFile(m_directory, "\xD6\xD0 - s.m4a", bytes("song")), MediaWriteResult::Written);
    EXPECT_EQ(entries(), std::vector<std::string>{"\xE4\xB8\xAD - s.m4a"});
    EXPECT_EQ(contentOf("\xE4\xB8\xAD - s.m4a"), "song");
}

TEST_F(WriteMediaFileTest, ReplacesExistingFileKeepingItsPermissions) {
    put("n - s.m4a", "a much longer earlier download");
    ASSERT_EQ(::chmod((m_directory / "n - s.m4a").c_str(), 0640), 0);

    EXPECT_EQ(writeMediaFile(m_directory, "n - s.m4a", bytes("new")), MediaWriteResult::Written);

    EXPECT_EQ(contentOf("n - s.m4a"), "new");
    EXPECT_EQ(fs::status(m_directory / "n - s.m4a").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(entries().size(), 1U);
}

TEST_F(WriteMediaFileTest, NoDataCreatesEmptyFileOrKeepsExistingOne) {
    EXPECT_EQ(writeMediaFile(m_directory, " - .m4a", {}), MediaWriteResult::CreatedEmpty);
    EXPECT_EQ(fs::file_size(m_directory / " - .m4a"), 0U);

    put("n - s.m4a", "earlier");
    EXPECT_EQ(writeMediaFile(m_directory, "n - s.m4a", {}), MediaWriteResult::KeptExisting);
    EXPECT_EQ(contentOf("n - s.m4a"), "earlier");
}

TEST_F(WriteMediaFileTest, FailedWriteKeepsExistingFileAndRemovesTemporary) {
    put("n - s.m4a", "earlier");
    // A file size limit makes the write fail partway, whoever runs the test.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit tight{64, saved.rlim_max};
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const MediaWriteResult result = writeMediaFile(m_directory, "n - s.m4a", ByteSet(1000, 0x55));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(result, MediaWriteResult::Failed);
    EXPECT_EQ(contentOf("n - s.m4a"), "earlier");
    EXPECT_EQ(entries(), std::vector<std::string>{"n - s.m4a"});
}

TEST_F(WriteMediaFileTest, LongNameIsShortenedNotRejected) {
    const std::string longName = repeat("\xD6\xD0", 100) + ".m4a";
    EXPECT_EQ(writeMediaFile(m_directory, longName, bytes("song")), MediaWriteResult::Written);
    EXPECT_EQ(contentOf(fileSystemName(longName)), "song");
}

TEST_F(WriteMediaFileTest, FailsWithoutTouchingAnythingOutsideTheDirectory) {
    fs::create_directory(m_directory / "inner");
    const fs::path inner = m_directory / "inner";
    EXPECT_EQ(writeMediaFile(inner, "..", bytes("x")), MediaWriteResult::Failed);
    EXPECT_EQ(writeMediaFile(inner, "/..", bytes("x")), MediaWriteResult::Failed);
    EXPECT_EQ(writeMediaFile(inner, ".\x01/", {}), MediaWriteResult::Failed);
    EXPECT_EQ(writeMediaFile(m_directory / "missing", "n - s.m4a", bytes("x")), MediaWriteResult::Failed);
    EXPECT_EQ(writeMediaFile({}, "n - s.m4a", bytes("x")), MediaWriteResult::Failed);
    EXPECT_EQ(entries(), std::vector<std::string>{"inner"});
    EXPECT_TRUE(fs::is_empty(inner));
}

TEST_F(WriteMediaFileTest, DirectoryOfThatNameIsNotReplaced) {
    fs::create_directory(m_directory / "n - s.m4a");
    EXPECT_EQ(writeMediaFile(m_directory, "n - s.m4a", bytes("x")), MediaWriteResult::Failed);
    EXPECT_EQ(writeMediaFile(m_directory, "n - s.m4a", {}), MediaWriteResult::Failed);
    EXPECT_TRUE(fs::is_directory(m_directory / "n - s.m4a"));
    EXPECT_EQ(entries().size(), 1U);
}

}  // namespace
}  // namespace tarlowen
