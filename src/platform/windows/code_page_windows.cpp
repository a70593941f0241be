// Code page 936 on Windows: the system's own conversion functions, so the program converts exactly
// as the system around it does (clipboard, file names, the components' texts). Where the system
// departs from the conversion the Linux build reproduces, the system wins on Windows.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstddef>

#include "platform/code_page.hpp"

namespace tarlowen {
namespace {

constexpr UINT kCodePage = 936;

// Each system call converts at most this much, so every count fits the int the calls take.
constexpr std::size_t kMaxChunk = std::size_t{1} << 28;

constexpr bool isLead(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

// The end of a chunk of `bytes` from `start` that never parts a lead byte from the byte after it.
std::size_t decodeChunkEnd(std::string_view bytes, std::size_t start) {
    if (bytes.size() - start <= kMaxChunk) {
        return bytes.size();
    }
    std::size_t i = start;
    while (i < start + kMaxChunk - 1) {
        i += isLead(static_cast<unsigned char>(bytes[i])) ? 2 : 1;
    }
    return i;
}

constexpr bool isLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}
constexpr bool isCombiningMark(char16_t unit) {
    return unit >= 0x0300 && unit <= 0x036F;
}

// The end of a chunk of `units` from `start` that parts neither a surrogate pair nor a letter from
// the mark that may compose with it.
std::size_t encodeChunkEnd(std::u16string_view units, std::size_t start) {
    if (units.size() - start <= kMaxChunk) {
        return units.size();
    }
    std::size_t end = start + kMaxChunk;
    while (end > start + 1 && (isLowSurrogate(units[end]) || isCombiningMark(units[end]))) {
        --end;
    }
    return end;
}

}  // namespace

std::u16string decodeCodePage936(std::string_view bytes) {
    std::u16string out;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = decodeChunkEnd(bytes, start);
        const int length = static_cast<int>(end - start);
        // Every character of the code page is one UTF-16 unit from at least one byte.
        const std::size_t written = out.size();
        out.resize(written + static_cast<std::size_t>(length));
        const int units = MultiByteToWideChar(kCodePage, 0, bytes.data() + start, length,
                                              reinterpret_cast<wchar_t*>(out.data() + written), length);
        out.resize(written + static_cast<std::size_t>(std::max(units, 0)));
        start = end;
    }
    return out;
}

Text encodeCodePage936(std::u16string_view units) {
    Text out;
    std::size_t start = 0;
    while (start < units.size()) {
        const std::size_t end = encodeChunkEnd(units, start);
        const int length = static_cast<int>(end - start);
        // Two bytes a unit is the most the code page writes.
        const std::size_t written = out.size();
        out.resize(written + 2 * static_cast<std::size_t>(length));
        // No default character: the system's "?" stands for what has no mapping, and best-fit
        // mappings apply, as they do for every program on the system that passes no flags.
        const int bytes = WideCharToMultiByte(kCodePage, WC_COMPOSITECHECK,
                                              reinterpret_cast<const wchar_t*>(units.data() + start), length,
                                              out.data() + written, 2 * length, nullptr, nullptr);
        out.resize(written + static_cast<std::size_t>(std::max(bytes, 0)));
        start = end;
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view units) {
    // Written out here rather than through WideCharToMultiByte(CP_UTF8), whose handling of a lone
    // surrogate has changed between Windows versions: here it is always U+FFFD.
    std::string utf8;
    utf8.reserve(units.size() * 3);
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t code = units[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < units.size() && isLowSurrogate(units[i + 1])) {
            code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            utf8.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            utf8.push_back(static_cast<char>(0xC0 | (code >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            utf8.push_back(static_cast<char>(0xE0 | (code >> 12)));
            utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            utf8.push_back(static_cast<char>(0xF0 | (code >> 18)));
            utf8.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return utf8;
}

}  // namespace tarlowen
