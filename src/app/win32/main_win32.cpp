// The Windows program: the system's window, clipboard and message loop around the download cycle,
// which runs on the real transfers and file system; songs go next to the program, else to the user's
// music folder. A GUI program (no console): it shows nothing but its window and reports nothing.
#include <windows.h>
// clang-format off
#include <knownfolders.h>
#include <shlobj.h>
// clang-format on

#include <filesystem>
#include <memory>
#include <utility>

#include "app/download_cycle.hpp"
#include "app/win32/main_window_win32.hpp"
#include "app/win32/win32_clipboard.hpp"
#include "app/win32/win32_message_pump.hpp"
#include "platform/files.hpp"
#include "transfer/automation/automation_fetch.hpp"
#include "transfer/winhttp/winhttp_fetch.hpp"

namespace {

// The user's music folder, where songs go when the program's own folder takes no files (installed
// under Program Files, say). Asked of the shell by its known-folder id, which follows the user's own
// choice of place; empty when the shell cannot say, and songs then go next to the program or nowhere.
std::filesystem::path musicDirectory() {
    PWSTR path = nullptr;
    std::filesystem::path result;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Music, KF_FLAG_DEFAULT, nullptr, &path))) {
        result = path;
    }
    CoTaskMemFree(path);  // freed even when the call failed, as the shell asks
    return result;
}

// The window's thread stays in the system's single-threaded apartment for the program's whole run.
// Each transfer still enters and leaves it on its own (the bridge counts those), but the apartment
// is then never torn down between two exchanges while the request component's worker threads may
// still be winding down: doing so crashed the test transfers now and then under Wine.
class ThreadApartment {
  public:
    ThreadApartment() : m_entered(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ThreadApartment() {
        if (m_entered) {
            CoUninitialize();
        }
    }
    ThreadApartment(const ThreadApartment&) = delete;
    ThreadApartment& operator=(const ThreadApartment&) = delete;

  private:
    bool m_entered;
};

}  // namespace

int main() {
    using namespace tarlowen;
    const ThreadApartment apartment;
    Win32Clipboard clipboard;
    const MediaFolders folders{programDirectory(), musicDirectory()};
    // What processes of this program killed mid-write left behind; none of this one's yet.
    static_cast<void>(removeStaleTemporaries(folders.program));
    static_cast<void>(removeStaleTemporaries(folders.music));
    DownloadCycle cycle(
        clipboard, [](const Text& url) { return WinHttpFetch(url); },
        [](const Text& url, const MediaSink& sink) {
            // The system's HTTP request component has no native channel for the body as it
            // arrives: AutomationFetch reads its ResponseBody and hands it to the sink in one
            // piece, which the sink streams into the file like any other piece.
            int status = 0;
            static_cast<void>(AutomationFetch(url, {.status = &status, .bodySink = sink}));
            return status;
        },
        folders);
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
