#include "app/qt_message_pump.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>
#include <utility>

#include "platform/message_pump.hpp"

namespace tarlowen {

QtMessagePump::QtMessagePump() {
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->installEventFilter(this);
    }
    m_previousHandler = setMessagePumpHandler([this] { pump(); });
    m_previousHeartbeat = setTransferHeartbeatHandler([this] { return heartbeat(); });
}

QtMessagePump::~QtMessagePump() {
    setTransferHeartbeatHandler(std::move(m_previousHeartbeat));
    setMessagePumpHandler(std::move(m_previousHandler));
}

bool QtMessagePump::eventFilter(QObject* watched, QEvent* event) {
    // Closing the last window posts a Quit event to the application; quit() sends one.
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
        m_quitRequested = true;
    }
    return QObject::eventFilter(watched, event);
}

bool QtMessagePump::heartbeat() {
    const QCoreApplication* application = QCoreApplication::instance();
    // Only the window's thread has window events to handle; a transfer elsewhere only learns
    // whether the program is closing.
    if (!m_quitRequested && application != nullptr && QThread::currentThread() == application->thread()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    return !m_quitRequested;
}

void QtMessagePump::pump() {
    if (m_quitRequested) {
        return;
    }
    // Without QEventLoop::WaitForMoreEvents this returns as soon as the waiting events are handled.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace tarlowen
