#pragma once

#include <string_view>

#include "text/text_types.hpp"

namespace tarlowen {

// `text` without spaces (ASCII space, ideographic space A1 A1) at either end. Tabs, CR and LF stay.
[[nodiscard]] Text TrimSpaces(std::string_view text);

// `text` with every space removed, wherever it stands.
[[nodiscard]] Text RemoveSpaces(std::string_view text);

// The pieces of `text` between occurrences of `separator`, found only at character starts. An empty
// text gives no pieces; empty pieces count except one after the last separator, which is dropped.
[[nodiscard]] TextArray SplitText(std::string_view text, std::string_view separator);

}  // namespace tarlowen
