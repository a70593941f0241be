#include "app/qt_message_pump.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <utility>

#include "platform/message_pump.hpp"

namespace tarlowen {

QtMessagePump::QtMessagePump() {
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->installEventFilter(this);
    }
    m_previousHandler = setMessagePumpHandler([this] { pump(); });
}

QtMessagePump::~QtMessagePump() {
    setMessagePumpHandler(std::move(m_previousHandler));
}

bool QtMessagePump::eventFilter(QObject* watched, QEvent* event) {
    // Closing the last window posts a Quit event to the application; quit() sends one.
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
        m_quitRequested = true;
    }
    return QObject::eventFilter(watched, event);
}

void QtMessagePump::pump() {
    if (m_quitRequested) {
        return;
    }
    // Without QEventLoop::WaitForMoreEvents this returns as soon as the waiting events are handled.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace tarlowen
