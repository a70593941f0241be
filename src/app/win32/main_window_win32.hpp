#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tarlowen {

class ClipboardPort;

// The program's only window on Windows: the system's own window, static label, two push buttons
// and window timer. Start empties the clipboard, so a link copied before it is never fetched, and
// sets the period to 500 ms; Stop sets it back to 0. Ticks come through the message queue, so a
// tick that falls due while the thread is busy arrives when it next reads its queue, and ticks that
// fell due meanwhile do not pile up. Closing the window posts the quit message; the handler that
// is running, if any, goes on to its end first.
class Win32MainWindow {
  public:
    static constexpr int kOuterWidth = 425;
    static constexpr int kOuterHeight = 365;
    static constexpr int kMonitorPeriodMs = 500;
    static constexpr int kLabelId = 1;       // 标签1
    static constexpr int kStartId = 6;       // 按钮6
    static constexpr int kStopId = 7;        // 按钮1
    static constexpr UINT_PTR kTimerId = 1;  // 时钟1

    // `clipboard` must outlive the window; `onTick` runs on every tick of the timer. The window is
    // created hidden and centred on the primary screen; valid() tells whether creation worked.
    Win32MainWindow(ClipboardPort& clipboard, std::function<void()> onTick);
    ~Win32MainWindow();
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    [[nodiscard]] bool valid() const { return m_window != nullptr; }
    [[nodiscard]] HWND handle() const { return m_window; }
    [[nodiscard]] HWND label() const { return m_label; }
    [[nodiscard]] HWND startButton() const { return m_startButton; }
    [[nodiscard]] HWND stopButton() const { return m_stopButton; }

    void show(int showCommand = SW_SHOWNORMAL);

    void OnStartClicked();
    void OnStopClicked();

    // The timer's period in milliseconds; 0 means stopped.
    [[nodiscard]] int timerPeriod() const { return m_period; }

    // A negative period counts as 0; the current period changes nothing; any other stops the timer
    // and, when positive, starts it again as a repeating timer with that period.
    void setTimerPeriod(int period);

    // True once the window has been closed (destroyed).
    [[nodiscard]] bool closed() const { return m_closed; }

    // The instruction text of the label, lines separated by "\r\n".
    [[nodiscard]] static std::wstring instructionText();

  private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

    ClipboardPort& m_clipboard;
    std::function<void()> m_onTick;
    HWND m_window = nullptr;
    HWND m_label = nullptr;
    HWND m_startButton = nullptr;
    HWND m_stopButton = nullptr;
    HFONT m_font = nullptr;
    int m_period = 0;
    bool m_closed = false;
};

}  // namespace tarlowen
