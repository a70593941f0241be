#pragma once

#include <QObject>
#include <functional>

namespace tarlowen {

// While it lives, PumpWaitingMessages() handles the events already waiting in the Qt event queue
// without waiting for new ones: repaints, clicks and timer events run nested in the transfer that
// pumps. Once the application has been asked to quit (its window was closed), the pump handles
// nothing more, so the running handler finishes undisturbed and the event loop then ends the
// program. Objects scheduled with deleteLater() are not deleted inside a pump: Qt keeps them until
// control is back in the event loop that scheduled them.
//
// It also gives running transfers their heartbeat (KeepTransferGoing): every beat handles the waiting
// events, so the window keeps answering while bytes move, and once a quit request has arrived the
// beat says stop, so the transfer in progress ends at once and the program with it. Create it after
// the QApplication.
class QtMessagePump final : public QObject {
  public:
    QtMessagePump();
    ~QtMessagePump() override;
    QtMessagePump(const QtMessagePump&) = delete;
    QtMessagePump& operator=(const QtMessagePump&) = delete;

    // True once a quit request has reached the application.
    [[nodiscard]] bool quitRequested() const { return m_quitRequested; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void pump();
    [[nodiscard]] bool heartbeat();

    std::function<void()> m_previousHandler;
    std::function<bool()> m_previousHeartbeat;
    bool m_quitRequested = false;
};

}  // namespace tarlowen
