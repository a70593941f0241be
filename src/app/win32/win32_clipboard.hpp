#pragma once

#include <windows.h>

#include "platform/clipboard_port.hpp"

namespace tarlowen {

// The system clipboard. Text is read as Unicode and converted to code page 936 here, so the
// result does not depend on the system's ANSI code page; a clipboard that cannot be opened or
// holds no text reads as empty text.
class Win32Clipboard final : public ClipboardPort {
  public:
    // `owner` is the window that owns what this port puts on the clipboard; it may be null.
    explicit Win32Clipboard(HWND owner = nullptr) : m_owner(owner) {}

    void setOwner(HWND owner) { m_owner = owner; }

    [[nodiscard]] Text readText() override;
    // When the clipboard cannot be opened (another program holds it), nothing changes.
    void replaceWithEmptyText() override;

  private:
    HWND m_owner;
};

}  // namespace tarlowen
