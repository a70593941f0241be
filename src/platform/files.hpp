#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "text/text_types.hpp"

namespace tarlowen {

// The longest file name, in bytes once encoded, that the file system takes.
inline constexpr std::size_t kMaxFileNameBytes = 255;

// The directory that holds the running program's executable, in the file system's own form (never
// converted through code page 936). Empty when the executable cannot be located.
[[nodiscard]] std::filesystem::path programDirectory() noexcept;

// `fileName`, a text in code page 936, as the UTF-8 name handed to the file system. "/" and the
// control characters (0x00-0x1F, 0x7F) are removed once converted, so the result never holds them.
// A name longer than kMaxFileNameBytes is then shortened at a character boundary before its
// extension (the last "." and what follows it), which is kept. Never throws; empty when nothing is
// left that names a file of its own ("", "." and "..").
[[nodiscard]] std::string fileSystemName(std::string_view fileName) noexcept;

// Where songs are saved: `programDirectory` when the program may create files in it; otherwise
// `musicDirectory`, created (with its parents) when missing, when the program may create files
// there. nullopt when neither will do. Never throws.
[[nodiscard]] std::optional<std::filesystem::path> saveDirectory(
    const std::filesystem::path& programDirectory, const std::filesystem::path& musicDirectory) noexcept;

// Removes the temporary files that processes of this program left in `directory` when they were
// killed mid-write: regular files named ".tarlowen-PID-N.part" whose PID is no running process, or
// is this process's own (it has written none yet when this is called at start-up, so such a file
// belongs to an earlier process that had the same number). A file whose PID is alive stays, even
// when that process may be an unrelated one that reused the number: a stale file left until a later
// start costs a little disk, a live writer's file removed would cost its song. Nothing else is ever
// touched. Returns how many files were removed. Never throws.
std::size_t removeStaleTemporaries(const std::filesystem::path& directory) noexcept;

// The free and the total bytes of the file system that holds a directory.
struct DiskSpace {
    std::uint64_t available = 0;  // what an unprivileged writer may still use
    std::uint64_t size = 0;
};

// Asks the file system about `directory` (statvfs); nullopt when it cannot be asked.
[[nodiscard]] std::optional<DiskSpace> diskSpaceOf(const std::filesystem::path& directory) noexcept;

using DiskSpaceProbe = std::function<std::optional<DiskSpace>(const std::filesystem::path& directory)>;

// The free space a song write always leaves on the file system: 256 MiB or 2% of its size,
// whichever is larger.
[[nodiscard]] std::uint64_t diskFloorOf(const DiskSpace& space) noexcept;

// The largest song the program writes.
inline constexpr std::uint64_t kMaxMediaBytes = std::uint64_t{2} << 30;

// The limits of one song write. Tests inject the probe and a smaller maximum.
struct MediaFileLimits {
    DiskSpaceProbe diskSpace = diskSpaceOf;
    std::uint64_t maxBytes = kMaxMediaBytes;
};

enum class MediaWriteResult {
    Written,       // the data replaced or created the file
    CreatedEmpty,  // no data, no file of that name: an empty file was created
    KeptExisting,  // no data, and the existing file keeps its content
    Failed,        // nothing changed on disk
};

// One song written as its bytes arrive, into `fileName` (code page 936, see fileSystemName) inside
// `directory`. The bytes go to a temporary file ".tarlowen-PID-N.part" in the same directory, made
// when the first bytes arrive; finish() syncs it to disk and renames it over the target. Whatever
// does not end in finish() succeeding (a failed append, abandon(), the destructor) removes the
// temporary file, so nothing partial is ever left under any name.
//
// An append fails, and the writer stays failed, when the name would leave the directory, the target
// is a directory or a read-only file, the temporary file cannot be made or written, the song would
// grow past limits.maxBytes, or the file system's free space would fall below its floor
// (diskFloorOf). None of the members throws.
class MediaFileWriter {
  public:
    MediaFileWriter(std::filesystem::path directory, std::string_view fileName,
                    MediaFileLimits limits = {}) noexcept;
    ~MediaFileWriter();
    MediaFileWriter(const MediaFileWriter&) = delete;
    MediaFileWriter& operator=(const MediaFileWriter&) = delete;

    // Announces the song's size before its bytes (a Content-Length). False, and the writer failed,
    // when that many bytes could not be written within the limits: no write starts.
    [[nodiscard]] bool expect(std::uint64_t size) noexcept;

    // Adds bytes to the song; false, with the temporary file removed, when they could not be written.
    [[nodiscard]] bool append(std::span<const std::uint8_t> bytes) noexcept;

    // Makes the song the target: Written when the bytes appended so far (at least one) are on disk
    // under the target's name; Failed otherwise, and the temporary file is gone.
    [[nodiscard]] MediaWriteResult finish() noexcept;

    // Drops what was appended: the temporary file is removed and nothing else changes.
    void abandon() noexcept;

    [[nodiscard]] bool failed() const { return m_failed; }
    [[nodiscard]] std::uint64_t bytesWritten() const { return m_written; }

  private:
    [[nodiscard]] bool open() noexcept;
    [[nodiscard]] bool fits(std::uint64_t more) noexcept;
    bool fail() noexcept;  // marks the writer failed, drops the temporary file; always false

    std::filesystem::path m_directory;
    std::filesystem::path m_target;  // empty when the name cannot be written
    MediaFileLimits m_limits;
    std::filesystem::path m_temporary;
    int m_fd = -1;
    bool m_failed = false;
    std::uint64_t m_written = 0;
    // Bytes that may still be written before the free space is asked about again.
    std::uint64_t m_spaceAllowance = 0;
    std::uint64_t m_sinceProbe = 0;
};

// What a download that gave no song leaves behind: an existing file of that name keeps its content
// (KeptExisting); without one an empty file is created (CreatedEmpty). Failed when the name would
// leave the directory, the directory is missing or something else of that name is there. Never throws.
[[nodiscard]] MediaWriteResult keepOrCreateEmpty(const std::filesystem::path& directory,
                                                 std::string_view fileName) noexcept;

// Writes `data` in one go: through a MediaFileWriter when it is not empty, keepOrCreateEmpty when it
// is. Never throws.
[[nodiscard]] MediaWriteResult writeMediaFile(const std::filesystem::path& directory,
                                              std::string_view fileName, const ByteSet& data,
                                              MediaFileLimits limits = {}) noexcept;

}  // namespace tarlowen
