// The Windows program: the system's window, clipboard and message loop around the download cycle,
// which runs on the real transfers and file system. A GUI program (no console): it shows nothing
// but its window and reports nothing.
#include <windows.h>

#include <memory>
#include <utility>

#include "app/download_cycle.hpp"
#include "app/win32/main_window_win32.hpp"
#include "app/win32/win32_clipboard.hpp"
#include "app/win32/win32_message_pump.hpp"
#include "platform/files.hpp"
#include "transfer/automation/automation_fetch.hpp"
#include "transfer/winhttp/winhttp_fetch.hpp"

int main() {
    using namespace tarlowen;
    Win32Clipboard clipboard;
    DownloadCycle cycle(
        clipboard, [](const Text& url) { return WinHttpFetch(url); },
        [](const Text& url) {
            int status = 0;
            ByteSet body = AutomationFetch(url, {.status = &status});
            return MediaResponse{std::move(body), status};
        },
        programDirectory());
    Win32MainWindow window(clipboard, [&cycle] { cycle.OnTick(); });
    if (!window.valid()) {
        return 1;
    }
    // What the program puts on the clipboard belongs to its window.
    clipboard.setOwner(window.handle());
    const Win32MessagePump pump([&window] { return window.closed(); });
    window.show();

    MSG message;
    BOOL result = 0;
    while ((result = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return result < 0 ? 1 : static_cast<int>(message.wParam);
}
