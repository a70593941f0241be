#pragma once

#include <optional>
#include <string_view>

#include "text/text_types.hpp"

namespace tarlowen {

// The bytes between the first `startMarker` at or after `fromPosition` and the first `endMarker`
// after it; empty when either is missing. In both markers kQuoteMarker stands for a double quote.
[[nodiscard]] Text TextBetween(std::string_view source, std::string_view startMarker, std::string_view endMarker,
                               std::optional<int> fromPosition = std::nullopt, bool ignoreCase = false);

// Everything from the first byte of `source` up to the first `marker` found at or after
// `fromPosition`; empty when the marker is missing.
[[nodiscard]] Text TextBefore(std::string_view source, std::string_view marker,
                              std::optional<int> fromPosition = std::nullopt, bool ignoreCase = false);

// Applies up to five find-and-replace pairs one after the other, each to the result of the one before.
// `count` caps the replacements of each pair (absent or negative: all); `fromPosition` keeps the bytes
// before it unchanged; without `caseSensitive` the find texts match regardless of letter case. An
// absent find text changes nothing; an absent replacement removes the matches.
[[nodiscard]] Text ReplaceEach(std::string_view source, std::optional<int> count, std::optional<int> fromPosition,
                               std::optional<bool> caseSensitive, std::string_view find1,
                               std::string_view replacement1,
                               std::optional<std::string_view> find2 = std::nullopt,
                               std::optional<std::string_view> replacement2 = std::nullopt,
                               std::optional<std::string_view> find3 = std::nullopt,
                               std::optional<std::string_view> replacement3 = std::nullopt,
                               std::optional<std::string_view> find4 = std::nullopt,
                               std::optional<std::string_view> replacement4 = std::nullopt,
                               std::optional<std::string_view> find5 = std::nullopt,
                               std::optional<std::string_view> replacement5 = std::nullopt);

}  // namespace tarlowen
