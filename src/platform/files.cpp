#include "platform/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "platform/code_page.hpp"

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

// Closes the descriptor and removes the temporary file unless the write was committed.
class TemporaryFile {
  public:
    TemporaryFile(int fd, fs::path path) : m_fd(fd), m_path(std::move(path)) {}
    ~TemporaryFile() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        if (!m_committed) {
            ::unlink(m_path.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    [[nodiscard]] int fd() const { return m_fd; }
    [[nodiscard]] const fs::path& path() const { return m_path; }

    // Closes the descriptor; false when the close reported an error (data may not have landed).
    [[nodiscard]] bool close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }
    void commit() { m_committed = true; }

  private:
    int m_fd;
    fs::path m_path;
    bool m_committed = false;
};

// Creates a new, empty temporary file in `directory`. The descriptor is -1 when none could be made.
struct NewFile {
    int fd = -1;
    fs::path path;
};

NewFile createTemporaryFile(const fs::path& directory) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name =
            ".tarlowen-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".part";
        fs::path path = directory / name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return {fd, std::move(path)};
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return {};
}

[[nodiscard]] bool writeAll(int fd, const ByteSet& data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t result = ::write(fd, data.data() + written, data.size() - written);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<std::size_t>(result);
    }
    return true;
}

// Creates `target` empty unless something of that name exists already, which stays untouched.
MediaWriteResult createEmptyUnlessPresent(const fs::path& target) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        return ::close(fd) == 0 ? MediaWriteResult::CreatedEmpty : MediaWriteResult::Failed;
    }
    struct stat existing {};
    if (errno == EEXIST && ::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        return MediaWriteResult::KeptExisting;
    }
    return MediaWriteResult::Failed;
}

MediaWriteResult replaceWithData(const fs::path& directory, const fs::path& target, const ByteSet& data) {
    NewFile created = createTemporaryFile(directory);
    if (created.fd < 0) {
        return MediaWriteResult::Failed;
    }
    TemporaryFile temporary(created.fd, std::move(created.path));
    // A replaced file keeps its permissions, as it would had it been rewritten in place.
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        ::fchmod(temporary.fd(), existing.st_mode & 07777);
    }
    if (!writeAll(temporary.fd(), data) || ::fsync(temporary.fd()) != 0 || !temporary.close()) {
        return MediaWriteResult::Failed;
    }
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
        return MediaWriteResult::Failed;
    }
    temporary.commit();
    return MediaWriteResult::Written;
}

}  // namespace

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

MediaWriteResult writeMediaFile(const fs::path& directory, std::string_view fileName,
                                const ByteSet& data) noexcept {
    try {
        const std::string name = fileSystemName(fileName);
        if (directory.empty() || !isPlainName(name)) {
            return MediaWriteResult::Failed;
        }
        const fs::path target = directory / name;
        if (data.empty()) {
            return createEmptyUnlessPresent(target);
        }
        return replaceWithData(directory, target, data);
    } catch (...) {
        return MediaWriteResult::Failed;
    }
}

}  // namespace tarlowen
