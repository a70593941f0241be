#pragma once

#include "platform/clipboard_port.hpp"

namespace tarlowen {

// The system clipboard through QClipboard. Needs a QGuiApplication for as long as it is used.
class QtClipboard final : public ClipboardPort {
  public:
    // The clipboard's text in code page 936, converted as the platform derives its ANSI text format
    // from Unicode text: characters without a mapping become "?". The text ends at its first zero
    // character, as a C string would. Empty when the clipboard holds no text.
    [[nodiscard]] Text readText() override;

    // Puts an empty text on the clipboard, owned by this program: other programs then read an empty
    // text rather than finding nothing.
    void replaceWithEmptyText() override;
};

}  // namespace tarlowen
