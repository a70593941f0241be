#pragma once

#include "text/text_types.hpp"

namespace tarlowen {

// The clipboard as the download cycle sees it: text in code page 936, and a way to leave an empty
// text on it. Implementations never throw; a clipboard that cannot be read reads as empty text.
class ClipboardPort {
public:
    virtual ~ClipboardPort() = default;

    // The clipboard's text converted to code page 936; empty when there is no text.
    [[nodiscard]] virtual Text readText() = 0;

    // Replaces whatever the clipboard holds with an empty text (not with nothing).
    virtual void replaceWithEmptyText() = 0;
};

}  // namespace tarlowen
