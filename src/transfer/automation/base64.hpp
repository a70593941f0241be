#pragma once

#include "text/text_types.hpp"

namespace tarlowen {

// Standard Base64 (RFC 4648, section 4) with "=" padding and no line breaks; empty for no bytes.
[[nodiscard]] Text Base64Encode(const ByteSet& data);

}  // namespace tarlowen
