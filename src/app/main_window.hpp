#pragma once

#include <QMargins>
#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;
class QTimer;

namespace tarlowen {

class ClipboardPort;

// The program's only window: instructions, the Start/Stop switch and the timer that drives the
// download cycle. Start empties the clipboard, so a link copied before it is never fetched, and sets
// the period to 500 ms; Stop sets it back to 0. A cycle that is running when Stop is clicked goes on
// to its end; no tick follows.
class MainWindow final : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kOuterWidth = 425;
    static constexpr int kOuterHeight = 365;
    static constexpr int kMonitorPeriodMs = 500;

    // `clipboard` must outlive the window; `onTick` runs on every tick of the timer.
    MainWindow(ClipboardPort& clipboard, std::function<void()> onTick, QWidget* parent = nullptr);

    void OnStartClicked();
    void OnStopClicked();

    // The timer's period in milliseconds; 0 means stopped.
    [[nodiscard]] int timerPeriod() const { return m_period; }

    // A negative period counts as 0; the current period changes nothing; any other stops the timer
    // and, when positive, starts it again as a repeating timer with that period.
    void setTimerPeriod(int period);

    // The instruction text shown at the top of the window.
    [[nodiscard]] static QString instructionText();

  protected:
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

  private:
    void fitOuterSize();

    ClipboardPort& m_clipboard;
    std::function<void()> m_onTick;
    QLabel* m_label;
    QPushButton* m_startButton;
    QPushButton* m_stopButton;
    QTimer* m_timer;
    int m_period = 0;
    bool m_frameFitted = false;
    QMargins m_fittedFrame;
};

}  // namespace tarlowen
