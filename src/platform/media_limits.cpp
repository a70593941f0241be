// The parts of song writing that are the same on every system: the disk floor, the accounting of a
// write against its limits, the one-piece write, and the temporary files' names. The system's own
// calls (opening, writing, syncing, renaming) live in files.cpp and windows/files_windows.cpp.
#include <algorithm>
#include <charconv>
#include <system_error>
#include <utility>

#include "platform/files.hpp"
#include "platform/media_file_rules.hpp"

namespace tarlowen {
namespace {

constexpr std::uint64_t kMinimumDiskFloor = std::uint64_t{256} << 20;
constexpr std::uint64_t kDiskFloorPercent = 2;

}  // namespace

std::string temporaryFileName(std::uint64_t pid, unsigned counter) {
    return std::string(kTemporaryPrefix) + std::to_string(pid) + "-" + std::to_string(counter) +
           std::string(kTemporarySuffix);
}

std::optional<int> temporaryFileOwner(std::string_view name) {
    if (!name.starts_with(kTemporaryPrefix) || !name.ends_with(kTemporarySuffix)) {
        return std::nullopt;
    }
    name.remove_prefix(kTemporaryPrefix.size());
    name.remove_suffix(kTemporarySuffix.size());
    const auto dash = name.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash + 1 == name.size()) {
        return std::nullopt;
    }
    const std::string_view pidText = name.substr(0, dash);
    const std::string_view counter = name.substr(dash + 1);
    const auto allDigits = [](std::string_view text) {
        return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!allDigits(pidText) || !allDigits(counter) || counter.size() > 10) {
        return std::nullopt;
    }
    int pid = 0;
    const auto [end, error] = std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
    if (error != std::errc{} || end != pidText.data() + pidText.size() || pid <= 0) {
        return std::nullopt;
    }
    return pid;
}

std::uint64_t diskFloorOf(const DiskSpace& space) noexcept {
    return std::max(kMinimumDiskFloor, space.size / 100 * kDiskFloorPercent);
}

MediaWriteResult writeMediaFile(const std::filesystem::path& directory, std::string_view fileName,
                                const ByteSet& data, MediaFileLimits limits) noexcept {
    if (data.empty()) {
        return keepOrCreateEmpty(directory, fileName);
    }
    MediaFileWriter writer(directory, fileName, std::move(limits));
    if (!writer.expect(data.size()) || !writer.append(data)) {
        return MediaWriteResult::Failed;
    }
    return writer.finish();
}

MediaFileWriter::~MediaFileWriter() {
    abandon();
}

bool MediaFileWriter::fail() noexcept {
    m_failed = true;
    abandon();
    return false;
}

bool MediaFileWriter::fits(std::uint64_t more) noexcept {
    if (more > m_limits.maxBytes || m_written > m_limits.maxBytes - more) {
        return false;
    }
    if (more <= m_spaceAllowance && m_sinceProbe < kSpaceProbeInterval) {
        m_spaceAllowance -= more;
        m_sinceProbe += more;
        return true;
    }
    std::optional<DiskSpace> space;
    try {
        space = m_limits.diskSpace(m_directory);
    } catch (...) {
        return false;  // a probe that cannot answer cannot vouch for the floor
    }
    if (!space) {
        return false;
    }
    const std::uint64_t floor = diskFloorOf(*space);
    m_spaceAllowance = space->available > floor ? space->available - floor : 0;
    m_sinceProbe = more;
    if (more > m_spaceAllowance) {
        return false;
    }
    m_spaceAllowance -= more;
    return true;
}

bool MediaFileWriter::expect(std::uint64_t size) noexcept {
    if (m_failed) {
        return false;
    }
    // Asks the probe afresh: the whole song must fit above the floor before anything is written.
    m_sinceProbe = kSpaceProbeInterval;
    if (size > m_written && !fits(size - m_written)) {
        return fail();
    }
    // Only a check: the bytes count against the allowance when they arrive.
    m_sinceProbe = kSpaceProbeInterval;
    m_spaceAllowance = 0;
    return true;
}

std::optional<std::filesystem::path> saveDirectory(const std::filesystem::path& programDirectory,
                                                   const std::filesystem::path& musicDirectory) noexcept {
    try {
        if (isWritableDirectory(programDirectory)) {
            return programDirectory;
        }
        if (musicDirectory.empty()) {
            return std::nullopt;
        }
        std::error_code ignored;
        std::filesystem::create_directories(musicDirectory, ignored);
        if (isWritableDirectory(musicDirectory)) {
            return musicDirectory;
        }
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace tarlowen
