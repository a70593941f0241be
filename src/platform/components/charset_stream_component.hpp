#pragma once

#include <memory>

namespace tarlowen {

class AutomationComponent;

// The charset stream component: a byte stream that is written in binary mode and read back as text
// in a named charset. Members: Type (1 binary, 2 text), Mode, Open, Write (a byte array), Position,
// Size, Charset, ReadText, Close. A charset name the stream does not know makes ReadText fail.
[[nodiscard]] std::shared_ptr<AutomationComponent> makeCharsetStreamComponent();

}  // namespace tarlowen
