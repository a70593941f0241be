#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "text/text_types.hpp"

namespace tarlowen {

// Code page 936 to UTF-16, as the platform's MultiByteToWideChar(936, 0) converts it: user-defined
// areas map to the private use area, and a lead byte that forms no character gives one "?".
[[nodiscard]] std::u16string decodeCodePage936(std::string_view bytes);

// UTF-16 to code page 936, as WideCharToMultiByte(936, WC_COMPOSITECHECK) converts it with no
// default character: best-fit mappings apply, a base letter and a following combining mark compose
// when a precomposed character exists and the code page has it (otherwise they stay separate), and
// whatever has no mapping becomes "?" (one per UTF-16 unit, so a surrogate pair gives "??").
[[nodiscard]] Text encodeCodePage936(std::u16string_view units);

// A text as UTF-16LE code units followed by a two-byte terminator (left off with dropTerminator).
// An empty text gives an empty buffer, without a terminator.
[[nodiscard]] ByteSet TextToUtf16(std::string_view text, bool dropTerminator = false);

// UTF-16LE code units to a text; the text ends at the first zero character, if there is one.
[[nodiscard]] Text Utf16ToText(const ByteSet& buffer);

// The UTF-16LE units of a buffer, up to its first zero unit (or its end); an odd last byte is ignored.
[[nodiscard]] std::u16string utf16Units(const ByteSet& buffer);

// UTF-16 to UTF-8; a surrogate without its partner becomes U+FFFD, so the result is always valid.
[[nodiscard]] std::string utf16ToUtf8(std::u16string_view units);

// The units as narrow text when every one is ASCII and none is zero (names, tokens, proxy lists);
// nullopt otherwise.
[[nodiscard]] std::optional<std::string> asciiOnly(std::u16string_view units);

}  // namespace tarlowen
