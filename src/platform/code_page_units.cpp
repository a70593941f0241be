// The parts of the code page layer that need no system converter: UTF-16 byte buffers as the
// automation interfaces pass them, and the ASCII check. Built on every system; the conversions they
// call are the system's own (code_page.cpp, windows/code_page_windows.cpp).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/code_page.hpp"

namespace tarlowen {

ByteSet TextToUtf16(std::string_view text, bool dropTerminator) {
    // A text ends at a zero byte, as a zero-terminated source would.
    text = text.substr(0, text.find('\0'));
    ByteSet out;
    if (text.empty()) {
        return out;
    }
    const std::u16string units = decodeCodePage936(text);
    out.reserve(2 * units.size() + 2);
    for (const char16_t unit : units) {
        out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    if (!dropTerminator) {
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

Text Utf16ToText(const ByteSet& buffer) {
    return encodeCodePage936(utf16Units(buffer));
}

std::u16string utf16Units(const ByteSet& buffer) {
    std::u16string units;
    units.reserve(buffer.size() / 2);
    for (std::size_t i = 0; i + 1 < buffer.size(); i += 2) {
        const auto unit = static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        units.push_back(unit);
    }
    return units;
}

std::optional<std::string> asciiOnly(std::u16string_view units) {
    std::string ascii;
    ascii.reserve(units.size());
    for (const char16_t unit : units) {
        if (unit == 0 || unit > 0x7F) {
            return std::nullopt;
        }
        ascii.push_back(static_cast<char>(unit));
    }
    return ascii;
}

}  // namespace tarlowen
