#include "platform/files.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

TEST_F(WriteMediaFileTest, ReplacedFileTakesOnlyThePermissionBitsOfTheFileItself) {
    put("n - s.m4a", "earlier");
    ASSERT_EQ(::chmod((m_directory / "n - s.m4a").c_str(), 04755), 0);
    put("elsewhere", "not a song");
    ASSERT_EQ(::chmod((m_directory / "elsewhere").c_str(), 04755), 0);
    fs::create_symlink("elsewhere", m_directory / "l - s.m4a");

    EXPECT_EQ(writeMediaFile(m_directory, "n - s.m4a", bytes("new")), MediaWriteResult::Written);
    EXPECT_EQ(writeMediaFile(m_directory, "l - s.m4a", bytes("linked")), MediaWriteResult::Written);

    struct stat replaced {};
    ASSERT_EQ(::lstat((m_directory / "n - s.m4a").c_str(), &replaced), 0);
    EXPECT_EQ(replaced.st_mode & 07777, 0755U);  // no set-user-id bit carried over
    struct stat unlinked {};
    ASSERT_EQ(::lstat((m_directory / "l - s.m4a").c_str(), &unlinked), 0);
    EXPECT_TRUE(S_ISREG(unlinked.st_mode));  // the link itself was replaced
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(unlinked.st_mode & 07777, 0666U & ~mask);  // a new file's mode, not the link target's
    EXPECT_EQ(contentOf("elsewhere"), "not a song");
    EXPECT_EQ(contentOf("l - s.m4a"), "linked");
}

TEST_F(WriteMediaFileTest, ReadOnlySongIsKept) {
    put("n - s.m4a", "earlier");
    ASSERT_EQ(::chmod((m_directory / "n - s.m4a").c_str(), 0444), 0);

    EXPECT_EQ(writeMediaFile(m_directory, "n - s.m4a", bytes("new")), MediaWriteResult::Failed);
    EXPECT_EQ(writeMediaFile(m_directory, "n - s.m4a", {}), MediaWriteResult::KeptExisting);

    EXPECT_EQ(contentOf("n - s.m4a"), "earlier");
    EXPECT_EQ(fs::status(m_directory / "n - s.m4a").permissions(),
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(entries(), std::vector<std::string>{"n - s.m4a"});
}

// A disk whose free space is its floor (256 MiB) plus `headroom`, less what the directory holds.
DiskSpaceProbe smallDisk(std::uint64_t headroom, std::vector<std::vector<std::string>>* seen = nullptr) {
    return [headroom, seen](const fs::path& directory) -> std::optional<DiskSpace> {
        std::uint64_t used = 0;
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory)) {
            used += entry.file_size();
            names.push_back(entry.path().filename().string());
        }
        if (seen != nullptr) {
            seen->push_back(names);
        }
        const std::uint64_t free = (std::uint64_t{256} << 20) + headroom;
        return DiskSpace{used < free ? free - used : 0, std::uint64_t{1} << 30};
    };
}

TEST(DiskFloorTest, IsTheLargerOf256MiBAndTwoPercent) {
    EXPECT_EQ(diskFloorOf({0, std::uint64_t{1} << 30}), std::uint64_t{256} << 20);
    EXPECT_EQ(diskFloorOf({0, std::uint64_t{100} << 30}), std::uint64_t{2} << 30);
    const auto real = diskSpaceOf(fs::temp_directory_path());
    ASSERT_TRUE(real.has_value());
    EXPECT_GT(real->size, 0U);
    EXPECT_LE(real->available, real->size);
}

TEST_F(WriteMediaFileTest, WritingStopsAtTheDiskFloorAndTheSizeCap) {
    put("n - s.m4a", "earlier");
    const std::string chunk(64 * 1024, 'x');
    const auto piece = std::span(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size());

    // The floor: 200 KiB above it take three pieces, the fourth would go below.
    MediaFileWriter floorBound(m_directory, "n - s.m4a", {.diskSpace = smallDisk(200 * 1024)});
    EXPECT_TRUE(floorBound.append(piece));
    EXPECT_TRUE(floorBound.append(piece));
    EXPECT_TRUE(floorBound.append(piece));
    EXPECT_EQ(entries().size(), 2U);  // the song so far in its temporary file
    EXPECT_FALSE(floorBound.append(piece));
    EXPECT_FALSE(floorBound.append(piece));  // stays failed
    EXPECT_EQ(floorBound.finish(), MediaWriteResult::Failed);
    EXPECT_EQ(entries(), std::vector<std::string>{"n - s.m4a"});

    // The cap: a song may not grow past the largest size, however much space there is.
    MediaFileWriter capped(m_directory, "n - s.m4a", {.maxBytes = 100 * 1024});
    EXPECT_TRUE(capped.append(piece));
    EXPECT_FALSE(capped.append(piece));
    EXPECT_EQ(entries(), std::vector<std::string>{"n - s.m4a"});

    // An announced length above either starts no write at all.
    std::vector<std::vector<std::string>> seen;
    MediaFileWriter announced(m_directory, "n - s.m4a", {.diskSpace = smallDisk(200 * 1024, &seen)});
    EXPECT_FALSE(announced.expect(300 * 1024));
    EXPECT_FALSE(announced.append(piece));
    MediaFileWriter tooLarge(m_directory, "n - s.m4a", {.maxBytes = 100 * 1024});
    EXPECT_FALSE(tooLarge.expect(100 * 1024 + 1));
    EXPECT_EQ(seen, (std::vector<std::vector<std::string>>{{"n - s.m4a"}}));
    EXPECT_EQ(contentOf("n - s.m4a"), "earlier");
    EXPECT_EQ(entries(), std::vector<std::string>{"n - s.m4a"});

    MediaFileWriter fits(m_directory, "n - s.m4a",
                         {.diskSpace = smallDisk(200 * 1024), .maxBytes = 64 * 1024});
    EXPECT_TRUE(fits.expect(64 * 1024));
    EXPECT_TRUE(fits.append(piece));
    EXPECT_EQ(fits.finish(), MediaWriteResult::Written);
    EXPECT_EQ(contentOf("n - s.m4a"), chunk);
}

TEST_F(WriteMediaFileTest, AbandonedOrDestroyedWriterLeavesNothing) {
    const ByteSet data(1000, 0x41);
    {
        MediaFileWriter dropped(m_directory, "a.m4a");
        EXPECT_TRUE(dropped.append(data));
        EXPECT_EQ(entries().size(), 1U);
    }
    MediaFileWriter abandoned(m_directory, "b.m4a");
    EXPECT_TRUE(abandoned.append(data));
    abandoned.abandon();
    EXPECT_TRUE(entries().empty());
    MediaFileWriter nothing(m_directory, "c.m4a");
    EXPECT_EQ(nothing.finish(), MediaWriteResult::Failed);  // no byte, no file
    EXPECT_TRUE(entries().empty());
}

// A PID that belonged to a process which has ended (its child, reaped).
pid_t endedProcess() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

TEST_F(WriteMediaFileTest, StaleTemporariesOfEndedProcessesAreRemovedAndNothingElse) {
    const std::string ended = std::to_string(endedProcess());
    const std::string own = std::to_string(::getpid());
    const std::string alive = std::to_string(::getppid());
    put(".tarlowen-" + ended + "-0.part", "killed mid-write");
    put(".tarlowen-" + own + "-3.part", "an earlier process with this PID");
    put(".tarlowen-" + alive + "-1.part", "a running writer's");
    put(".tarlowen-" + ended + "-x.part", "not our pattern");
    put(".tarlowen-" + ended + "-1.partial", "not our pattern");
    put("tarlowen-" + ended + "-1.part", "not our pattern");
    put("n - s.m4a", "a song");
    fs::create_directory(m_directory / (".tarlowen-" + ended + "-7.part"));
    fs::create_symlink("n - s.m4a", m_directory / (".tarlowen-" + ended + "-8.part"));

    EXPECT_EQ(removeStaleTemporaries(m_directory), 2U);

    std::vector<std::string> left = entries();
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected{".tarlowen-" + alive + "-1.part", ".tarlowen-" + ended + "-1.partial",
                                      ".tarlowen-" + ended + "-7.part", ".tarlowen-" + ended + "-8.part",
                                      ".tarlowen-" + ended + "-x.part", "n - s.m4a",
                                      "tarlowen-" + ended + "-1.part"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_EQ(contentOf("n - s.m4a"), "a song");
    EXPECT_EQ(removeStaleTemporaries(m_directory / "missing"), 0U);
}

TEST_F(WriteMediaFileTest, SongsGoNextToTheProgramElseToTheMusicFolderMadeWhenMissing) {
    const fs::path music = m_directory / "home" / "Music";
    EXPECT_EQ(saveDirectory(m_directory, music), m_directory);
    EXPECT_FALSE(fs::exists(music));
    EXPECT_EQ(saveDirectory(m_directory / "gone", music), music);
    EXPECT_TRUE(fs::is_directory(music));
    put("file", "");
    EXPECT_EQ(saveDirectory(m_directory / "gone", m_directory / "file" / "Music"), std::nullopt);
    EXPECT_EQ(saveDirectory(m_directory / "gone", {}), std::nullopt);
}

}  // namespace
}  // namespace tarlowen
