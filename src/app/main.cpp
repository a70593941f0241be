#include <QApplication>
#include <QFile>
#include <QStandardPaths>
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
// with nothing but their address; the media's body streams into its file, and of the rest of the
// response only the status is used. Songs go next to the program, or to the music folder when the
// program may not write there.
std::unique_ptr<DownloadCycle> makeDownloadCycle(ClipboardPort& clipboard) {
    const MediaFolders folders{
        programDirectory(),
        QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::MusicLocation)).toStdString()};
    static_cast<void>(removeStaleTemporaries(folders.program));
    static_cast<void>(removeStaleTemporaries(folders.music));
    return std::make_unique<DownloadCycle>(
        clipboard, [](const Text& url) { return WinHttpFetch(url); },
        [](const Text& url, const MediaSink& sink) {
            int status = 0;
            static_cast<void>(AutomationFetch(url, {.status = &status, .bodySink = sink}));
            return status;
        },
        folders);
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
