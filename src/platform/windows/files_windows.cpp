// The files layer on Windows: wide-character names converted from code page 936 at this boundary,
// Windows' own name rules applied so that any title still gives a file, and long paths reached
// through the "\\?\" form. Songs stream into a temporary file beside their target that is flushed to
// disk and renamed over it; the limits' accounting is shared with every system (media_limits.cpp).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>

#include "platform/code_page.hpp"
#include "platform/files.hpp"
#include "platform/media_file_rules.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;

// The characters a Windows file name cannot hold, besides the two separators.
[[nodiscard]] bool isForbidden(char16_t unit) {
    return unit < 0x20 || unit == u'<' || unit == u'>' || unit == u':' || unit == u'"' || unit == u'|' ||
           unit == u'?' || unit == u'*';
}

[[nodiscard]] char16_t foldAscii(char16_t unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
}

// CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9, in any case: as the whole name before the first
// dot (spaces before that dot ignored, as the system ignores them) they name a device.
[[nodiscard]] bool isReservedDeviceName(std::u16string_view name) {
    std::u16string_view stem = name.substr(0, name.find(u'.'));
    while (!stem.empty() && stem.back() == u' ') {
        stem.remove_suffix(1);
    }
    std::u16string upper;
    for (const char16_t unit : stem) {
        upper.push_back(foldAscii(unit));
    }
    if (upper == u"CON" || upper == u"PRN" || upper == u"AUX" || upper == u"NUL") {
        return true;
    }
    return upper.size() == 4 && (upper.starts_with(u"COM") || upper.starts_with(u"LPT")) &&
           upper[3] >= u'1' && upper[3] <= u'9';
}

constexpr bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// The name as the file system gets it: forbidden characters and trailing dots and spaces (which the
// system would silently drop) become "_", a device name gets "_" after its stem, and a name longer
// than the file system takes is shortened before its extension. Empty when the name would leave
// the directory (it holds a separator, or is "." or "..") or is empty.
[[nodiscard]] std::u16string safeName(std::string_view fileName) {
    std::u16string name = decodeCodePage936(fileName);
    if (name.empty() || name == u"." || name == u".." || name.find_first_of(u"/\\") != std::u16string::npos) {
        return {};
    }
    for (char16_t& unit : name) {
        if (isForbidden(unit)) {
            unit = u'_';
        }
    }
    for (auto it = name.rbegin(); it != name.rend() && (*it == u'.' || *it == u' '); ++it) {
        *it = u'_';
    }
    if (isReservedDeviceName(name)) {
        const std::size_t dot = name.find(u'.');
        const std::size_t at = dot == std::u16string::npos ? name.size() : dot;
        name.insert(name.begin() + static_cast<std::ptrdiff_t>(at), u'_');
    }
    if (name.size() > kMaxFileNameBytes) {
        std::u16string extension;
        const std::size_t dot = name.rfind(u'.');
        if (dot != std::u16string::npos && dot > 0 && name.size() - dot < kMaxFileNameBytes) {
            extension = name.substr(dot);
            name.resize(dot);
        }
        std::size_t cut = kMaxFileNameBytes - extension.size();
        if (cut > 0 && isHighSurrogate(name[cut - 1])) {
            --cut;  // never part a surrogate pair
        }
        name.resize(cut);
        name += extension;
    }
    return name;
}

// `path` in the form that reaches paths longer than MAX_PATH: absolute, backslashes, "\\?\" ahead.
[[nodiscard]] std::wstring longPath(const fs::path& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    if (error) {
        absolute = path;
    }
    std::wstring text = absolute.lexically_normal().make_preferred().wstring();
    while (text.size() > 3 && text.back() == L'\\') {
        text.pop_back();
    }
    if (text.starts_with(L"\\\\?\\")) {
        return text;
    }
    std::wstring result = L"\\\\?\\";
    if (text.starts_with(L"\\\\")) {
        result += L"UNC\\";
        result.append(text, 2);
    } else {
        result += text;
    }
    return result;
}

class Handle {
  public:
    explicit Handle(HANDLE handle) : m_handle(handle) {}
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    [[nodiscard]] bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    [[nodiscard]] HANDLE get() const { return m_handle; }
    bool close() {
        const HANDLE handle = std::exchange(m_handle, INVALID_HANDLE_VALUE);
        return handle == INVALID_HANDLE_VALUE || CloseHandle(handle) != 0;
    }

  private:
    HANDLE m_handle;
};

[[nodiscard]] HANDLE createNew(const std::wstring& path, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr);
}

[[nodiscard]] bool isRegularFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The target inside `directory` in its long form; empty when none may be written.
[[nodiscard]] std::wstring targetIn(const fs::path& directory, std::string_view fileName) {
    if (directory.empty()) {
        return {};
    }
    const std::u16string name = safeName(fileName);
    if (name.empty()) {
        return {};
    }
    std::wstring target = longPath(directory);
    target += L"\\";
    target.append(name.begin(), name.end());
    return target;
}

// The attributes a replaced file lends to its replacement: what marks it hidden, a system file or
// left out of indexing stays so, as it would had it been rewritten in place.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// True when something other than a writable file or a symbolic link holds the target's name: a
// directory is never replaced, a read-only song is kept. `carried` receives the attributes a plain
// file target lends to its replacement (never a link's).
[[nodiscard]] bool targetRefuses(const std::wstring& target, std::optional<DWORD>& carried) {
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return true;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        carried = attributes & kCarriedAttributes;
    }
    return false;  // a link itself is replaced; what it points to is not touched
}

[[nodiscard]] bool writeAll(HANDLE file, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
        DWORD done = 0;
        if (!WriteFile(file, data.data(), chunk, &done, nullptr) || done == 0) {
            return false;
        }
        data = data.subspan(done);
    }
    return true;
}

// The temporary files of this process: ".tarlowen-PID-N.part", N counting up across writers.
[[nodiscard]] std::wstring nextTemporary(const std::wstring& folder) {
    static std::atomic<unsigned> counter{0};
    const std::string name = temporaryFileName(GetCurrentProcessId(), counter++);
    std::wstring path = folder;
    path += L"\\";
    path.append(name.begin(), name.end());
    return path;
}

// Whether a temporary file made by process `pid` can no longer be written by its maker.
[[nodiscard]] bool ownerIsGone(DWORD pid) {
    if (pid == GetCurrentProcessId()) {
        return true;  // see removeStaleTemporaries: this process has made none yet
    }
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process; access denied: alive
    }
    DWORD exitCode = 0;
    const bool ended = GetExitCodeProcess(process, &exitCode) != 0 && exitCode != STILL_ACTIVE;
    CloseHandle(process);
    return ended;
}

[[nodiscard]] HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

}  // namespace

// Whether the program may create files in `directory`: asked of the system by creating one (the
// folder's read-only mark means nothing on Windows, and its access list is the system's to judge).
// The probe carries a temporary file's name and is gone when its handle closes.
bool isWritableDirectory(const fs::path& directory) {
    if (directory.empty()) {
        return false;
    }
    const std::wstring folder = longPath(directory);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const HANDLE probe =
            createNew(nextTemporary(folder), FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE);
        if (probe != INVALID_HANDLE_VALUE) {
            CloseHandle(probe);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            return false;
        }
    }
    return false;
}

fs::path programDirectory() noexcept {
    try {
        // The buffer grows until the whole path fits: a long path is not cut at MAX_PATH.
        std::wstring buffer(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length =
                GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
            if (length == 0) {
                return {};
            }
            if (length < buffer.size()) {
                buffer.resize(length);
                break;
            }
            if (buffer.size() >= 32768) {
                return {};
            }
            buffer.resize(buffer.size() * 2);
        }
        return fs::path(buffer).parent_path();
    } catch (...) {
        return {};
    }
}

std::string fileSystemName(std::string_view fileName) noexcept {
    try {
        return utf16ToUtf8(safeName(fileName));
    } catch (...) {
        return {};
    }
}

MediaWriteResult keepOrCreateEmpty(const fs::path& directory, std::string_view fileName) noexcept {
    try {
        const std::wstring target = targetIn(directory, fileName);
        if (target.empty()) {
            return MediaWriteResult::Failed;
        }
        Handle file(createNew(target));
        if (file.valid()) {
            return file.close() ? MediaWriteResult::CreatedEmpty : MediaWriteResult::Failed;
        }
        const DWORD error = GetLastError();
        if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && isRegularFile(target)) {
            return MediaWriteResult::KeptExisting;
        }
        return MediaWriteResult::Failed;
    } catch (...) {
        return MediaWriteResult::Failed;
    }
}

std::size_t removeStaleTemporaries(const fs::path& directory) noexcept {
    try {
        if (directory.empty()) {
            return 0;
        }
        const std::wstring folder = longPath(directory);
        WIN32_FIND_DATAW entry{};
        const HANDLE listing = FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (listing == INVALID_HANDLE_VALUE) {
            return 0;
        }
        std::size_t removed = 0;
        do {
            // Our names are ASCII; any other character makes the name someone else's.
            const std::wstring_view wideName(entry.cFileName);
            if (!std::all_of(wideName.begin(), wideName.end(), [](wchar_t c) { return c > 0 && c < 0x80; })) {
                continue;
            }
            const std::string name(wideName.begin(), wideName.end());
            const std::optional<int> owner = temporaryFileOwner(name);
            // Only a plain file of ours: a link or a directory that happens to carry the name stays.
            if (!owner ||
                (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
                !ownerIsGone(static_cast<DWORD>(*owner))) {
                continue;
            }
            if (DeleteFileW((folder + L"\\" + std::wstring(wideName)).c_str()) != 0) {
                ++removed;
            }
        } while (FindNextFileW(listing, &entry) != 0);
        FindClose(listing);
        return removed;
    } catch (...) {
        return 0;
    }
}

std::optional<DiskSpace> diskSpaceOf(const fs::path& directory) noexcept {
    try {
        ULARGE_INTEGER available{};
        ULARGE_INTEGER total{};
        // What this user may still use and the volume's size as this user sees it (quotas applied).
        // The long form first; a system that takes no long form here is asked about the volume's root,
        // which holds the same free space unless another volume is mounted on the way.
        if (directory.empty()) {
            return std::nullopt;
        }
        if (GetDiskFreeSpaceExW((longPath(directory) + L"\\").c_str(), &available, &total, nullptr) == 0) {
            std::error_code error;
            const fs::path root = fs::absolute(directory, error).root_path();
            if (error || root.empty() ||
                GetDiskFreeSpaceExW(root.wstring().c_str(), &available, &total, nullptr) == 0) {
                return std::nullopt;
            }
        }
        return DiskSpace{available.QuadPart, total.QuadPart};
    } catch (...) {
        return std::nullopt;
    }
}

// The temporary file is held as a C runtime descriptor over the system's handle (_open_osfhandle),
// because the writer's shared layout keeps an int; every call on it goes to the handle underneath.
MediaFileWriter::MediaFileWriter(fs::path directory, std::string_view fileName,
                                 MediaFileLimits limits) noexcept
    : m_limits(std::move(limits)) {
    try {
        m_target = fs::path(targetIn(directory, fileName));
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
        _close(m_fd);
        m_fd = -1;
    }
    if (!m_temporary.empty()) {
        DeleteFileW(m_temporary.c_str());
        m_temporary.clear();
    }
}

bool MediaFileWriter::open() noexcept {
    try {
        std::optional<DWORD> carried;
        if (targetRefuses(m_target.wstring(), carried)) {
            return false;
        }
        const std::wstring folder = longPath(m_directory);
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::wstring path = nextTemporary(folder);
            const HANDLE file = createNew(path);
            if (file == INVALID_HANDLE_VALUE) {
                if (GetLastError() != ERROR_FILE_EXISTS) {
                    return false;
                }
                continue;
            }
            const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY | _O_WRONLY);
            if (fd < 0) {
                CloseHandle(file);
                DeleteFileW(path.c_str());
                return false;
            }
            m_fd = fd;
            m_temporary = fs::path(std::move(path));
            return true;
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
    if ((m_fd < 0 && !open()) || !fits(bytes.size()) || !writeAll(handleOf(m_fd), bytes)) {
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
    try {
        // The data reach the disk before the new name does, so after a crash the name holds the
        // earlier file or the whole song, never a part of it; the rename itself is written through.
        const int fd = std::exchange(m_fd, -1);
        const bool synced = FlushFileBuffers(handleOf(fd)) != 0;
        const bool closed = _close(fd) == 0;
        const std::wstring target = m_target.wstring();
        const std::wstring temporary = m_temporary.wstring();
        std::optional<DWORD> carried;
        if (!closed || !synced || targetRefuses(target, carried)) {
            fail();
            return MediaWriteResult::Failed;
        }
        if (carried && *carried != 0) {
            SetFileAttributesW(temporary.c_str(), *carried);
        }
        if (!MoveFileExW(temporary.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            // A hidden or system mark set above would make the leftover hard to see; it goes anyway.
            SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
            fail();
            return MediaWriteResult::Failed;
        }
        m_temporary.clear();
        return MediaWriteResult::Written;
    } catch (...) {
        fail();
        return MediaWriteResult::Failed;
    }
}

}  // namespace tarlowen
