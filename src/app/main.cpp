#include <QApplication>
#include <memory>
#include <utility>

#include "app/download_cycle.hpp"
#include "app/main_window.hpp"
#include "app/qt_clipboard.hpp"
#include "app/qt_message_pump.hpp"
#include "platform/allocator.hpp"
#include "platform/files.hpp"
#include "transfer/automation/automation_fetch.hpp"
#include "transfer/winhttp/winhttp_fetch.hpp"

namespace tarlowen {
namespace {

// The download cycle on the real transfers and file system: the page and the media are fetched
// with nothing but their address; of the media response only the body and the status are used.
std::unique_ptr<DownloadCycle> makeDownloadCycle(ClipboardPort& clipboard) {
    return std::make_unique<DownloadCycle>(
        clipboard, [](const Text& url) { return WinHttpFetch(url); },
        [](const Text& url) {
            int status = 0;
            ByteSet body = AutomationFetch(url, {.status = &status});
            return MediaResponse{std::move(body), status};
        },
        programDirectory());
}

}  // namespace
}  // namespace tarlowen

int main(int argc, char* argv[]) {
    tarlowen::keepLargeBuffersForReuse();
    QApplication application(argc, argv);
    const tarlowen::QtMessagePump pump;
    tarlowen::QtClipboard clipboard;
    const std::unique_ptr<tarlowen::DownloadCycle> cycle = tarlowen::makeDownloadCycle(clipboard);
    tarlowen::MainWindow window(clipboard, [&cycle] { cycle->OnTick(); });
    window.show();
    return QApplication::exec();
}
