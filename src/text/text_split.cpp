#include "text/text_split.hpp"

#include <algorithm>

#include "text/text_primitives.hpp"

namespace tarlowen {
namespace {

[[nodiscard]] bool startsWithSpace(std::string_view text) {
    return text.starts_with(kAsciiSpace) || text.starts_with(kIdeographicSpace);
}

}  // namespace

Text TrimSpaces(std::string_view text) {
    // Leading spaces are found by stepping characters; a trailing A1 A1 only counts when it is a
    // whole character, so the end is trimmed by walking forward and remembering the last non-space.
    std::size_t begin = 0;
    while (begin < text.size() && startsWithSpace(text.substr(begin))) {
        begin += text[begin] == ' ' ? 1 : 2;
    }
    std::size_t end = begin;
    for (std::size_t cursor = begin; cursor < text.size();) {
        if (startsWithSpace(text.substr(cursor))) {
            cursor += text[cursor] == ' ' ? 1 : 2;
            continue;
        }
        cursor += IsLeadByte(static_cast<unsigned char>(text[cursor])) ? 2 : 1;
        end = std::min(cursor, text.size());
    }
    return Text(text.substr(begin, end - begin));
}

Text RemoveSpaces(std::string_view text) {
    Text result;
    result.reserve(text.size());
    for (std::size_t cursor = 0; cursor < text.size();) {
        if (startsWithSpace(text.substr(cursor))) {
            cursor += text[cursor] == ' ' ? 1 : 2;
            continue;
        }
        const std::size_t length = IsLeadByte(static_cast<unsigned char>(text[cursor])) ? 2 : 1;
        result.append(text.substr(cursor, length));
        cursor += length;
    }
    return result;
}

TextArray SplitText(std::string_view text, std::string_view separator) {
    TextArray pieces;
    if (text.empty()) {
        return pieces;
    }
    int cursor = 1;
    while (true) {
        const int at = separator.empty() ? -1 : SearchText(text, separator, cursor);
        if (at == -1) {
            if (cursor <= static_cast<int>(text.size())) {
                pieces.push_back(TakeSlice(text, cursor, static_cast<int>(text.size()) - cursor + 1));
            }
            return pieces;
        }
        pieces.push_back(TakeSlice(text, cursor, at - cursor));
        cursor = at + static_cast<int>(separator.size());
    }
}

}  // namespace tarlowen
