// The files layer on Windows: wide-character names converted from code page 936 at this boundary,
// Windows' own name rules applied so that any title still gives a file, and long paths reached
// through the "\\?\" form.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <string>
#include <system_error>
#include <utility>

#include "platform/code_page.hpp"
#include "platform/files.hpp"

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

[[nodiscard]] HANDLE createNew(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

[[nodiscard]] bool isRegularFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

[[nodiscard]] bool writeAll(HANDLE file, const ByteSet& data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - written, 1u << 30));
        DWORD done = 0;
        if (!WriteFile(file, data.data() + written, chunk, &done, nullptr) || done == 0) {
            return false;
        }
        written += done;
    }
    return true;
}

MediaWriteResult createEmptyUnlessPresent(const std::wstring& target) {
    Handle file(createNew(target));
    if (file.valid()) {
        return file.close() ? MediaWriteResult::CreatedEmpty : MediaWriteResult::Failed;
    }
    const DWORD error = GetLastError();
    if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && isRegularFile(target)) {
        return MediaWriteResult::KeptExisting;
    }
    return MediaWriteResult::Failed;
}

MediaWriteResult replaceWithData(const std::wstring& directory, const std::wstring& target,
                                 const ByteSet& data) {
    static std::atomic<unsigned> counter{0};
    std::wstring temporary;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = directory;
        temporary += L"\\.tarlowen-";
        temporary += std::to_wstring(GetCurrentProcessId());
        temporary += L"-";
        temporary += std::to_wstring(counter++);
        temporary += L".part";
        created = createNew(temporary);
        if (created == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            return MediaWriteResult::Failed;
        }
    }
    Handle file(created);
    if (!file.valid()) {
        return MediaWriteResult::Failed;
    }
    const bool written = writeAll(file.get(), data) && FlushFileBuffers(file.get()) != 0;
    if (!file.close() || !written ||
        !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return MediaWriteResult::Failed;
    }
    return MediaWriteResult::Written;
}

}  // namespace

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

MediaWriteResult writeMediaFile(const fs::path& directory, std::string_view fileName,
                                const ByteSet& data) noexcept {
    try {
        if (directory.empty()) {
            return MediaWriteResult::Failed;
        }
        const std::u16string name = safeName(fileName);
        if (name.empty()) {
            return MediaWriteResult::Failed;
        }
        const std::wstring folder = longPath(directory);
        std::wstring target = folder;
        target += L"\\";
        target.append(name.begin(), name.end());
        if (data.empty()) {
            return createEmptyUnlessPresent(target);
        }
        return replaceWithData(folder, target, data);
    } catch (...) {
        return MediaWriteResult::Failed;
    }
}

}  // namespace tarlowen
