#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarlowen {

// A byte string in code page 936. A two-byte character is a lead byte (0x80 or more) followed by
// one more byte; the routines that search or replace never let a match start on that second byte.
using Text = std::string;

// A counted buffer of bytes: response bodies, media data, UTF-16 buffers.
using ByteSet = std::vector<std::uint8_t>;

// An ordered list of texts; the routines that index it count from 1.
using TextArray = std::vector<Text>;

// The space characters of a text: the ASCII space and the ideographic space (A1 A1).
inline constexpr char kAsciiSpace[] = " ";
inline constexpr char kIdeographicSpace[] = "\xA1\xA1";

// The marker that stands for one double quote in markers and patterns: "#" and the two-character
// word for quotation mark, in code page 936.
inline constexpr char kQuoteMarker[] = "#\xD2\xFD\xBA\xC5";

[[nodiscard]] constexpr bool IsLeadByte(unsigned char byte) { return byte >= 0x80; }

}  // namespace tarlowen
