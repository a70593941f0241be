#include "transfer/cookies/merge_cookies.hpp"

#include <algorithm>

#include "text/text_primitives.hpp"
#include "text/text_split.hpp"

namespace tarlowen {
namespace {

constexpr std::string_view kDeletionMark = "=deleted";
constexpr std::string_view kEntrySeparator = ";";
constexpr std::string_view kJoiner = "; ";

[[nodiscard]] bool isDeletion(std::string_view entry) {
    // An entry shorter than the mark is compared whole, and so never equals it.
    return entry.ends_with(kDeletionMark);
}

[[nodiscard]] bool hasEntryNamed(const TextArray& entries, std::string_view name) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const Text& entry) { return CookieName(entry) == name; });
}

// Appends `separator` after each item and drops the last one again.
[[nodiscard]] Text joinItems(const TextArray& items, std::string_view separator) {
    Text joined;
    for (const Text& item : items) {
        joined.append(item).append(separator);
    }
    return TakeLeft(joined, static_cast<int>(joined.size()) - static_cast<int>(separator.size()));
}

}  // namespace

Text MergeCookies(Text& oldCookies, Text& newCookies) {
    oldCookies = RemoveSpaces(oldCookies);
    newCookies = RemoveSpaces(newCookies);

    TextArray merged = SplitText(newCookies, kEntrySeparator);
    for (Text& oldEntry : SplitText(oldCookies, kEntrySeparator)) {
        if (!hasEntryNamed(merged, CookieName(oldEntry))) {
            merged.push_back(std::move(oldEntry));
        }
    }
    std::erase_if(merged, [](const Text& entry) { return isDeletion(entry); });

    oldCookies = RemoveDuplicates(joinItems(merged, kJoiner), kJoiner, true);
    return oldCookies;
}

Text CookieName(std::string_view entry) {
    const int equalsAt = SearchText(entry, "=");
    const std::string_view name = equalsAt == -1 ? entry : entry.substr(0, static_cast<std::size_t>(equalsAt - 1));
    return TrimSpaces(name);
}

Text RemoveDuplicates(std::string_view text, std::string_view separator, bool bySeparator) {
    TextArray items;
    if (bySeparator) {
        items = SplitText(text, separator);
    } else {
        SplitCharacters(text, items);
    }
    TextArray seen;
    for (Text& item : items) {
        if (IndexOfItem(seen, item) == -1) {
            seen.push_back(std::move(item));
        }
    }
    return joinItems(seen, separator);
}

int SplitCharacters(std::string_view text, TextArray& characters) {
    characters.clear();
    std::size_t cursor = 0;
    while (cursor < text.size()) {
        const auto byte = static_cast<unsigned char>(text[cursor]);
        const bool last = cursor + 1 == text.size();
        const bool pair = !last && (byte >= 129 || (byte == '\r' && text[cursor + 1] == '\n'));
        const std::size_t length = pair ? 2 : 1;
        characters.emplace_back(text.substr(cursor, length));
        cursor += length;
    }
    return static_cast<int>(characters.size());
}

int IndexOfItem(const TextArray& list, std::string_view item) {
    const auto found = std::find(list.begin(), list.end(), item);
    return found == list.end() ? -1 : static_cast<int>(found - list.begin()) + 1;
}

}  // namespace tarlowen
