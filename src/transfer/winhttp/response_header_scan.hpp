#pragma once

#include <string_view>

#include "text/text_types.hpp"

namespace tarlowen {

// Reads a raw response header block (status line, header lines, each ending in "\r\n"):
// `statusText` gets the status code and reason phrase (the bytes from the tenth up to the first
// "\r\n"), `returnedCookies` the first name=value pair of each "Set-Cookie" line joined by "; ", and
// `location` the value of the last "Location: " line (case ignored) when there is one; otherwise it
// keeps what it held. Lets waiting window messages be handled once after each line.
void ScanResponseHeaders(std::string_view headerBlock, Text& statusText, Text& returnedCookies, Text& location);

// The cookie pair of a "Set-Cookie" line: the text after "Set-Cookie:" up to the first ";", or the
// whole line without "Set-Cookie:" when it has no ";", trimmed of spaces. Empty for other lines
// (the name before the first ": " must be "Set-Cookie", case respected).
[[nodiscard]] Text SetCookiePair(std::string_view line);

}  // namespace tarlowen
