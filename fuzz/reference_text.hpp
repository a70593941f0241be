#pragma once

// Plain models of the text routines, written to be obviously right rather than fast: they walk the
// text one character at a time, a character being a lead byte (0x80 or more) and the byte after it,
// or any other single byte, and try a match only where a character starts. A walk starts at the
// position a search is asked to start from, and again right after each match. Positions count
// bytes from 1; -1 is "not found". The fuzz targets hold the real routines to these models.

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarlowen::reference {

inline bool isLead(char byte) {
    return static_cast<unsigned char>(byte) >= 0x80;
}

inline char fold(char byte) {
    return (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte + 0x20) : byte;
}

inline bool matchesAt(std::string_view text, std::size_t at, std::string_view target, bool ignoreCase) {
    if (at > text.size() || text.size() - at < target.size()) {
        return false;
    }
    for (std::size_t i = 0; i < target.size(); ++i) {
        const char a = text[at + i];
        const char b = target[i];
        if (ignoreCase ? fold(a) != fold(b) : a != b) {
            return false;
        }
    }
    return true;
}

inline std::size_t characterLength(std::string_view text, std::size_t at) {
    return isLead(text[at]) ? std::min<std::size_t>(2, text.size() - at) : 1;
}

// The byte offset a 1-based "from" position names; absent and anything below 1 start at the front.
// Computed in a wider type, so no int is ever near overflowing.
inline std::size_t startOffset(std::optional<int> from) {
    if (!from) {
        return 0;
    }
    const long long offset = static_cast<long long>(*from) - 1;
    return offset < 0 ? 0 : static_cast<std::size_t>(offset);
}

inline int searchText(std::string_view text, std::string_view target, std::optional<int> from,
                      bool ignoreCase) {
    const std::size_t start = startOffset(from);
    if (start >= text.size()) {
        return -1;
    }
    if (target.empty()) {
        return 1;
    }
    for (std::size_t at = start; at < text.size(); at += characterLength(text, at)) {
        if (matchesAt(text, at, target, ignoreCase)) {
            return static_cast<int>(at + 1);
        }
    }
    return -1;
}

inline std::string takeLeft(std::string_view text, int length) {
    return length <= 0 ? std::string() : std::string(text.substr(0, static_cast<std::size_t>(length)));
}

inline std::string takeSlice(std::string_view text, int position, int length) {
    if (position < 1 || static_cast<std::size_t>(position) > text.size() || length <= 0) {
        return {};
    }
    return std::string(text.substr(static_cast<std::size_t>(position - 1), static_cast<std::size_t>(length)));
}

inline std::string substituteText(std::string_view text, std::string_view find, std::string_view replacement,
                                  std::optional<int> from, std::optional<int> count, bool caseSensitive) {
    const std::size_t start = startOffset(from);
    int remaining = count.value_or(-1);
    if (text.empty() || find.empty() || start >= text.size() || remaining == 0) {
        return std::string(text);
    }
    std::string out(text.substr(0, start));
    std::size_t at = start;
    while (at < text.size()) {
        if (matchesAt(text, at, find, !caseSensitive)) {
            out += replacement;
            at += find.size();
            if (remaining > 0 && --remaining == 0) {
                break;
            }
            continue;
        }
        const std::size_t length = characterLength(text, at);
        out += text.substr(at, length);
        at += length;
    }
    out += text.substr(at);
    return out;
}

inline constexpr std::string_view kQuoteMarker = "#\xD2\xFD\xBA\xC5";

inline std::string textBetween(std::string_view text, std::string_view startMarker,
                               std::string_view endMarker, std::optional<int> from, bool ignoreCase) {
    const std::string start = substituteText(startMarker, kQuoteMarker, "\"", 1, std::nullopt, true);
    const std::string end = substituteText(endMarker, kQuoteMarker, "\"", 1, std::nullopt, true);
    const int startAt = searchText(text, start, from.value_or(0), ignoreCase);
    if (startAt == -1) {
        return {};
    }
    const long long valueAt = startAt + static_cast<long long>(start.size());
    const int endAt = searchText(text, end, static_cast<int>(valueAt), ignoreCase);
    if (endAt == -1) {
        return {};
    }
    return takeSlice(text, static_cast<int>(valueAt), static_cast<int>(endAt - valueAt));
}

inline std::string textBefore(std::string_view text, std::string_view marker, std::optional<int> from,
                              bool ignoreCase) {
    const int markerAt = searchText(text, marker, (from && *from > 0) ? *from : 1, ignoreCase);
    return markerAt == -1 ? std::string() : takeLeft(text, markerAt - 1);
}

struct Pair {
    std::optional<std::string> find;
    std::optional<std::string> replacement;
};

inline std::string replaceEach(std::string_view text, std::optional<int> count, std::optional<int> from,
                               std::optional<bool> caseSensitive, const std::vector<Pair>& pairs) {
    const std::optional<int> start = (!from || *from == 0) ? 1 : *from;
    std::string out(text);
    for (const Pair& pair : pairs) {
        out = substituteText(out, pair.find.value_or(""), pair.replacement.value_or(""), start, count,
                             caseSensitive.value_or(false));
    }
    return out;
}

// The pieces between separators found at character starts; the walk starts again after each
// separator. An empty text has no pieces, and an empty piece after the last separator is dropped.
inline std::vector<std::string> splitText(std::string_view text, std::string_view separator) {
    std::vector<std::string> pieces;
    if (text.empty()) {
        return pieces;
    }
    std::size_t pieceStart = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        if (!separator.empty() && matchesAt(text, at, separator, false)) {
            pieces.emplace_back(text.substr(pieceStart, at - pieceStart));
            at += separator.size();
            pieceStart = at;
            continue;
        }
        at += characterLength(text, at);
    }
    if (pieceStart < text.size()) {
        pieces.emplace_back(text.substr(pieceStart));
    }
    return pieces;
}

}  // namespace tarlowen::reference
