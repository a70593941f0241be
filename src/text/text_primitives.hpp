#pragma once

#include <optional>
#include <string_view>

#include "text/text_types.hpp"

namespace tarlowen {

// The four primitives every search, cut and replacement in the system rests on. Positions count
// bytes from 1; a search that finds nothing gives -1. Searches step through the text character by
// character, so a match never starts on the second byte of a two-byte character. Ignoring case folds
// A-Z onto a-z and nothing else.

// Position of the first occurrence of `target` at or after `fromPosition` (absent: the whole text),
// or -1. An empty target is found at 1 whenever the searched part holds a byte.
[[nodiscard]] int SearchText(std::string_view source, std::string_view target,
                             std::optional<int> fromPosition = std::nullopt, bool ignoreCase = false);

// The first `length` bytes; empty for a length of 0 or less.
[[nodiscard]] Text TakeLeft(std::string_view source, int length);

// `length` bytes from `position`; empty when the position lies outside the text or length <= 0.
[[nodiscard]] Text TakeSlice(std::string_view source, int position, int length);

// `source` with occurrences of `find` replaced, searching from `fromPosition` (absent: the whole
// text), at most `count` times (absent or -1: every occurrence). Inserted text is never searched.
[[nodiscard]] Text SubstituteText(std::string_view source, std::string_view find,
                                  std::optional<std::string_view> replacement, std::optional<int> fromPosition,
                                  std::optional<int> count, bool caseSensitive);

}  // namespace tarlowen
