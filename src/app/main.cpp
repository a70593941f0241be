#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <utility>

#include "app/clipboard_backoff.hpp"
#include "app/download_cycle.hpp"
#include "app/main_window.hpp"
#include "app/qt_clipboard.hpp"
#include "app/qt_message_pump.hpp"
#include "app/session_plan.hpp"
#include "app/single_instance.hpp"
#include "app/wayland_clipboard.hpp"
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

// The session as found before the toolkit starts, with the compositor's clipboard when it offers one.
struct Session {
    SessionPlan plan;
    std::unique_ptr<WaylandClipboard> waylandClipboard;
};

[[nodiscard]] bool qtWaylandPluginInstalled() {
    const QString platforms = QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms/");
    return QFileInfo::exists(platforms + QStringLiteral("libqwayland-generic.so"));
}

// Looks at the displays before the toolkit does: the toolkit aborts when it finds none, with
// advice to reinstall that does not apply.
Session probeSession() {
    Session session;
    SessionProbe probe;
    probe.configuredPlatform = qEnvironmentVariable("QT_QPA_PLATFORM").toStdString();
    probe.x11Reachable = x11Reachable();
    WaylandClipboard::Connection wayland = WaylandClipboard::connect();
    probe.waylandReachable = wayland.reachable;
    probe.waylandDataControl = wayland.clipboard != nullptr;
    probe.qtWaylandPlugin = qtWaylandPluginInstalled();
    session.plan = planSession(probe);
    if (session.plan.clipboard == ClipboardKind::WaylandDataControl) {
        session.waylandClipboard = std::move(wayland.clipboard);
    }
    return session;
}

void selectPlatform(WindowPlatform platform) {
    if (platform == WindowPlatform::Xcb) {
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("xcb"));
    } else if (platform == WindowPlatform::Wayland) {
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("wayland"));
    }
}

// Null when another copy runs for this user; that copy has then been asked to show its window and
// the reason is on standard error. Without a usable runtime directory the program runs unguarded.
struct InstanceClaim {
    bool first = true;
    std::unique_ptr<InstanceLock> lock;
    std::filesystem::path socketPath;
};

InstanceClaim claimInstance() {
    InstanceClaim claim;
    const std::filesystem::path directory = instanceDirectory();
    if (directory.empty()) {
        return claim;
    }
    claim.socketPath = instanceSocketPath(directory);
    claim.lock = InstanceLock::acquire(directory);
    if (claim.lock == nullptr) {
        claim.first = false;
        const bool shown = askRunningInstanceToShow(claim.socketPath, std::chrono::seconds(3));
        std::cerr << (shown ? "tarlowen: already running; its window was brought to the front\n"
                            : "tarlowen: already running\n");
    }
    return claim;
}

// Answers later starts: each connection that asks gets the window shown, raised and activated.
void listenForLaterStarts(QLocalServer& server, const std::filesystem::path& socketPath, QWidget& window) {
    if (socketPath.empty()) {
        return;
    }
    // The lock is ours, so a socket file there is left over from a copy that was killed.
    QLocalServer::removeServer(QString::fromStdString(socketPath.string()));
    server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server.listen(QString::fromStdString(socketPath.string()))) {
        return;
    }
    QObject::connect(&server, &QLocalServer::newConnection, &server, [&server, &window] {
        while (QLocalSocket* client = server.nextPendingConnection()) {
            QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            QObject::connect(client, &QLocalSocket::readyRead, client, [client, &window] {
                if (!client->canReadLine()) {
                    return;
                }
                if (client->readLine() == QByteArray(kShowRequest.data(), kShowRequest.size())) {
                    window.showNormal();
                    window.raise();
                    window.activateWindow();
                    client->write(kShownReply.data(), static_cast<qint64>(kShownReply.size()));
                }
                client->disconnectFromServer();
            });
        }
    });
}

}  // namespace
}  // namespace tarlowen

int main(int argc, char* argv[]) {
    tarlowen::keepLargeBuffersForReuse();
    tarlowen::Session session = tarlowen::probeSession();
    if (!session.plan.runs()) {
        std::cerr << session.plan.message << '\n';
        return session.plan.exitStatus;
    }
    const tarlowen::InstanceClaim instance = tarlowen::claimInstance();
    if (!instance.first) {
        return EXIT_SUCCESS;
    }
    // The notice about the session comes from the copy that runs, not from a second start.
    if (!session.plan.message.empty()) {
        std::cerr << session.plan.message << '\n';
    }
    tarlowen::selectPlatform(session.plan.platform);
    QApplication application(argc, argv);
    const tarlowen::QtMessagePump pump;
    tarlowen::QtClipboard qtClipboard;
    tarlowen::ClipboardPort& systemClipboard =
        session.waylandClipboard ? static_cast<tarlowen::ClipboardPort&>(*session.waylandClipboard)
                                 : qtClipboard;
    tarlowen::BackoffClipboard clipboard(systemClipboard);
    const std::unique_ptr<tarlowen::DownloadCycle> cycle = tarlowen::makeDownloadCycle(clipboard);
    tarlowen::MainWindow window(clipboard, [&cycle] { cycle->OnTick(); });
    QLocalServer laterStarts;
    tarlowen::listenForLaterStarts(laterStarts, instance.socketPath, window);
    window.show();
    return QApplication::exec();
}
