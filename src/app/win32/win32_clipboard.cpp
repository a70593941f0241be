#include "app/win32/win32_clipboard.hpp"

#include <cstring>
#include <string>

#include "platform/code_page.hpp"

namespace tarlowen {
namespace {

// Another program may hold the clipboard for a moment (a clipboard manager reading what changed):
// a few quick tries before giving up, bounded well under one tick.
bool openClipboard(HWND owner) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (OpenClipboard(owner)) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

}  // namespace

Text Win32Clipboard::readText() {
    if (!openClipboard(m_owner)) {
        return {};
    }
    Text text;
    if (const HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* units = static_cast<const char16_t*>(GlobalLock(data))) {
            // The block may be larger than the text and need not be terminated within it.
            const std::size_t capacity = GlobalSize(data) / sizeof(char16_t);
            std::size_t length = 0;
            while (length < capacity && units[length] != u'\0') {
                ++length;
            }
            text = encodeCodePage936(std::u16string_view(units, length));
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

void Win32Clipboard::replaceWithEmptyText() {
    if (!openClipboard(m_owner)) {
        return;
    }
    EmptyClipboard();
    // An empty text rather than nothing: clipboard managers and synchronisation tools take an
    // empty clipboard as "keep the last entry" and would put the link back; an empty text is a new
    // entry that replaces it. The system offers it in the ANSI text formats too.
    if (const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(wchar_t))) {
        if (SetClipboardData(CF_UNICODETEXT, block) == nullptr) {
            GlobalFree(block);  // still ours when the clipboard did not take it
        }
    }
    CloseClipboard();
}

}  // namespace tarlowen
