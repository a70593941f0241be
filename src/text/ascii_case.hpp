#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace tarlowen {

// Letter case as names, schemes and protocol headers compare it: A-Z fold onto a-z, every other unit
// (two-byte characters' bytes included) must be equal.
template <class Unit>
[[nodiscard]] constexpr Unit foldAsciiCase(Unit unit) {
    return (unit >= Unit('A') && unit <= Unit('Z')) ? static_cast<Unit>(unit + 0x20) : unit;
}

namespace detail {
template <class Unit>
[[nodiscard]] constexpr bool equalsIgnoringAsciiCase(std::basic_string_view<Unit> a, std::basic_string_view<Unit> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](Unit x, Unit y) { return foldAsciiCase(x) == foldAsciiCase(y); });
}
}  // namespace detail

[[nodiscard]] constexpr bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return detail::equalsIgnoringAsciiCase(a, b);
}
[[nodiscard]] constexpr bool equalsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
    return detail::equalsIgnoringAsciiCase(a, b);
}

[[nodiscard]] constexpr bool startsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}
[[nodiscard]] constexpr bool startsWithIgnoringAsciiCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

[[nodiscard]] inline std::string lowerAscii(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), foldAsciiCase<char>);
    return lowered;
}

}  // namespace tarlowen
