#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarlowen {

// Decodes bytes in the named charset to UTF-16, for the charset stream component. Names are those
// a page may declare (gb2312, utf-8, big5, ...), compared without regard to ASCII case but
// otherwise exactly: "UTF_8" is not "utf-8". The gb2312 family decodes as code page 936; invalid
// UTF-8 gives U+FFFD, and a UTF-8 byte order mark at the start is dropped. Returns nullopt for a
// name that is not in the table (or whose converter cannot be opened); never throws.
[[nodiscard]] std::optional<std::u16string> decodeCharset(std::string_view charsetName,
                                                          std::span<const std::uint8_t> bytes);

// The names the table knows, as it writes them (lower case).
[[nodiscard]] const std::vector<std::string_view>& charsetNames();

}  // namespace tarlowen
