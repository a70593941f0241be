#include "platform/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <string>
#include <system_error>
#include <utility>

#include "platform/code_page.hpp"
#include "platform/media_file_rules.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;

[[nodiscard]] bool isUtf8Continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// A name that stays inside the directory it is joined to.
[[nodiscard]] bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// The target inside `directory` for a name in code page 936; empty when none may be written.
[[nodiscard]] fs::path targetIn(const fs::path& directory, std::string_view fileName) {
    const std::string name = fileSystemName(fileName);
    if (directory.empty() || !isPlainName(name)) {
        return {};
    }
    return directory / name;
}

[[nodiscard]] bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t result = ::write(fd, data, size);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += result;
        size -= static_cast<std::size_t>(result);
    }
    return true;
}

// A regular file nobody may write: no write permission bit at all (how a file is marked read-only,
// and what a privileged process's access check would overlook), or none for this process.
[[nodiscard]] bool isReadOnlyFile(const fs::path& path, const struct stat& status) {
    return (status.st_mode & 0222) == 0 || ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0;
}

// True when something other than a writable regular file or a symbolic link holds the target's
// name: a directory is never replaced, a read-only song is kept. `mode` receives the permission
// bits a regular target lends to its replacement (never a link's target's, never set-id bits).
[[nodiscard]] bool targetRefuses(const fs::path& target, std::optional<mode_t>& mode) {
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) != 0) {
        return errno != ENOENT;
    }
    if (S_ISLNK(existing.st_mode)) {
        return false;  // the link itself is replaced; what it points to is not touched
    }
    if (!S_ISREG(existing.st_mode) || isReadOnlyFile(target, existing)) {
        return true;
    }
    mode = existing.st_mode & 0777;
    return false;
}

// Whether a temporary file made by process `pid` can no longer be written by its maker.
[[nodiscard]] bool ownerIsGone(pid_t pid) {
    if (pid == ::getpid()) {
        return true;  // see removeStaleTemporaries: this process has made none yet
    }
    return ::kill(pid, 0) != 0 && errno == ESRCH;  // EPERM: alive, another user's
}

}  // namespace

// Whether the program may create and rename files in `directory` (checked with its effective ids).
bool isWritableDirectory(const fs::path& directory) {
    struct stat status {};
    return !directory.empty() && ::stat(directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           ::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

fs::path programDirectory() noexcept {
    try {
        std::error_code error;
        const fs::path executable = fs::read_symlink("/proc/self/exe", error);
        if (error) {
            return {};
        }
        return executable.parent_path();
    } catch (...) {
        return {};
    }
}

std::string fileSystemName(std::string_view fileName) noexcept {
    try {
        std::string name = utf16ToUtf8(decodeCodePage936(fileName));
        // Whatever the name's own cleaning let through (a "/" that the text routines took for the
        // second byte of a character, but the code page reads as a character of its own) goes here,
        // where every byte below 0x80 is a whole character: a name is made safe, never refused.
        std::erase_if(name, [](char byte) {
            const auto unit = static_cast<unsigned char>(byte);
            return unit == '/' || unit < 0x20 || unit == 0x7F;
        });
        if (name.size() > kMaxFileNameBytes) {
            std::string extension;
            const std::size_t dot = name.rfind('.');
            if (dot != std::string::npos && dot > 0 && name.size() - dot < kMaxFileNameBytes) {
                extension = name.substr(dot);
                name.resize(dot);
            }
            std::size_t cut = kMaxFileNameBytes - extension.size();
            while (cut > 0 && isUtf8Continuation(name[cut])) {
                --cut;
            }
            name.resize(cut);
            name += extension;
        }
        // What is left names no file of its own in the directory.
        if (name == "." || name == "..") {
            return {};
        }
        return name;
    } catch (...) {
        return {};
    }
}

MediaWriteResult keepOrCreateEmpty(const fs::path& directory, std::string_view fileName) noexcept {
    try {
        const fs::path target = targetIn(directory, fileName);
        if (target.empty()) {
            return MediaWriteResult::Failed;
        }
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return ::close(fd) == 0 ? MediaWriteResult::CreatedEmpty : MediaWriteResult::Failed;
        }
        struct stat existing {};
        if (errno == EEXIST && ::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
            return MediaWriteResult::KeptExisting;
        }
        return MediaWriteResult::Failed;
    } catch (...) {
        return MediaWriteResult::Failed;
    }
}

std::size_t removeStaleTemporaries(const fs::path& directory) noexcept {
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) {
        return 0;
    }
    const int directoryFd = ::dirfd(listing);
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::optional<int> owner = temporaryFileOwner(entry->d_name);
        if (!owner) {
            continue;
        }
        // Only a regular file of ours: a link or a directory that happens to carry the name stays.
        struct stat status {};
        if (::fstatat(directoryFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(status.st_mode) || !ownerIsGone(static_cast<pid_t>(*owner))) {
            continue;
        }
        if (::unlinkat(directoryFd, entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    ::closedir(listing);
    return removed;
}

std::optional<DiskSpace> diskSpaceOf(const fs::path& directory) noexcept {
    struct statvfs status {};
    if (::statvfs(directory.c_str(), &status) != 0) {
        return std::nullopt;
    }
    const std::uint64_t unit = status.f_frsize != 0 ? status.f_frsize : status.f_bsize;
    return DiskSpace{static_cast<std::uint64_t>(status.f_bavail) * unit,
                     static_cast<std::uint64_t>(status.f_blocks) * unit};
}

MediaFileWriter::MediaFileWriter(fs::path directory, std::string_view fileName,
                                 MediaFileLimits limits) noexcept
    : m_limits(std::move(limits)) {
    try {
        m_target = targetIn(directory, fileName);
        m_directory = std::move(directory);
    } catch (...) {
        m_target.clear();
    }
    if (m_target.empty() || !m_limits.diskSpace) {
        m_failed = true;
    }
}

void MediaFileWriter::abandon() noexcept {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temporary.empty()) {
        ::unlink(m_temporary.c_str());
        m_temporary.clear();
    }
}

bool MediaFileWriter::open() noexcept {
    try {
        std::optional<mode_t> mode;
        if (targetRefuses(m_target, mode)) {
            return false;
        }
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            fs::path path =
                m_directory / temporaryFileName(static_cast<std::uint64_t>(::getpid()), counter++);
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                m_fd = fd;
                m_temporary = std::move(path);
                // A replaced file keeps its permission bits, as it would had it been rewritten in place.
                if (mode) {
                    ::fchmod(m_fd, *mode);
                }
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    } catch (...) {
        return false;
    }
}

bool MediaFileWriter::append(std::span<const std::uint8_t> bytes) noexcept {
    if (m_failed) {
        return false;
    }
    if (bytes.empty()) {
        return true;
    }
    if ((m_fd < 0 && !open()) || !fits(bytes.size()) || !writeAll(m_fd, bytes.data(), bytes.size())) {
        return fail();
    }
    m_written += bytes.size();
    return true;
}

MediaWriteResult MediaFileWriter::finish() noexcept {
    if (m_failed || m_fd < 0 || m_written == 0) {
        fail();
        return MediaWriteResult::Failed;
    }
    std::optional<mode_t> mode;
    // The data and the file's size reach the disk before the new name does, so after a crash the
    // name holds the earlier file or the whole song, never a part of it.
    const int fd = std::exchange(m_fd, -1);
    const bool synced = ::fsync(fd) == 0;
    if (::close(fd) != 0 || !synced || targetRefuses(m_target, mode) ||
        ::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
        fail();
        return MediaWriteResult::Failed;
    }
    m_temporary.clear();
    return MediaWriteResult::Written;
}

}  // namespace tarlowen
