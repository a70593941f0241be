#pragma once

#include <string_view>

#include "text/text_types.hpp"

namespace tarlowen {

// Folds the cookies a response set into the cookies a caller sent. Both arguments are the caller's
// variables: `newCookies` comes back without spaces, `oldCookies` comes back as the merged text, which
// is also the result. The response's entries come first and replace old entries of the same name;
// entries ending in "=deleted" are dropped, and entries equal to an earlier one appear once.
Text MergeCookies(Text& oldCookies, Text& newCookies);

// The name of a cookie entry: the bytes before its first "=" (the whole entry without one), with spaces
// trimmed from both ends.
[[nodiscard]] Text CookieName(std::string_view entry);

// `text` without repeated items, the items being the pieces between separators (bySeparator) or the
// characters of `text`; the kept items are joined with `separator`.
[[nodiscard]] Text RemoveDuplicates(std::string_view text, std::string_view separator, bool bySeparator);

// Replaces `characters` with the characters of `text` (a CR LF pair counts as one) and returns their number.
int SplitCharacters(std::string_view text, TextArray& characters);

// The 1-based index of the first element of `list` equal to `item` byte for byte, or -1.
[[nodiscard]] int IndexOfItem(const TextArray& list, std::string_view item);

}  // namespace tarlowen
