#include "text/text_routines.hpp"

#include <array>
#include <utility>

#include "text/text_primitives.hpp"

namespace tarlowen {
namespace {

[[nodiscard]] Text withQuotes(std::string_view marker) {
    return SubstituteText(marker, kQuoteMarker, "\"", 1, std::nullopt, true);
}

}  // namespace

Text TextBetween(std::string_view source, std::string_view startMarker, std::string_view endMarker,
                 std::optional<int> fromPosition, bool ignoreCase) {
    const Text start = withQuotes(startMarker);
    const Text end = withQuotes(endMarker);
    const int startAt = SearchText(source, start, fromPosition.value_or(0), ignoreCase);
    if (startAt == -1) {
        return {};
    }
    const int valueAt = startAt + static_cast<int>(start.size());
    const int endAt = SearchText(source, end, valueAt, ignoreCase);
    if (endAt == -1) {
        return {};
    }
    return TakeSlice(source, valueAt, endAt - valueAt);
}

Text TextBefore(std::string_view source, std::string_view marker, std::optional<int> fromPosition,
                bool ignoreCase) {
    const int from = (fromPosition && *fromPosition > 0) ? *fromPosition : 1;
    const int markerAt = SearchText(source, marker, from, ignoreCase);
    if (markerAt == -1) {
        return {};
    }
    return TakeLeft(source, markerAt - 1);
}

Text ReplaceEach(std::string_view source, std::optional<int> count, std::optional<int> fromPosition,
                 std::optional<bool> caseSensitive, std::string_view find1, std::string_view replacement1,
                 std::optional<std::string_view> find2, std::optional<std::string_view> replacement2,
                 std::optional<std::string_view> find3, std::optional<std::string_view> replacement3,
                 std::optional<std::string_view> find4, std::optional<std::string_view> replacement4,
                 std::optional<std::string_view> find5, std::optional<std::string_view> replacement5) {
    const int from = (!fromPosition || *fromPosition == 0) ? 1 : *fromPosition;
    const bool matchCase = caseSensitive.value_or(false);
    const std::array<std::pair<std::string_view, std::string_view>, 5> pairs{{
        {find1, replacement1},
        {find2.value_or(std::string_view{}), replacement2.value_or(std::string_view{})},
        {find3.value_or(std::string_view{}), replacement3.value_or(std::string_view{})},
        {find4.value_or(std::string_view{}), replacement4.value_or(std::string_view{})},
        {find5.value_or(std::string_view{}), replacement5.value_or(std::string_view{})},
    }};
    Text result(source);
    for (const auto& [find, replacement] : pairs) {
        result = SubstituteText(result, find, replacement, from, count, matchCase);
    }
    return result;
}

}  // namespace tarlowen
