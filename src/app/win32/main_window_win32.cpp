#include "app/win32/main_window_win32.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <utility>

#include "platform/clipboard_port.hpp"

namespace tarlowen {
namespace {

constexpr wchar_t kWindowClass[] = L"TarlowenMainWindow";
constexpr wchar_t kTitle[] = L"TarlowenV0.1 byOstrel";
// A fixed border with title bar, system menu, close and minimize boxes; no maximize box.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

bool registerWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    if (GetClassInfoExW(instance, kWindowClass, &windowClass)) {
        return true;
    }
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = DefWindowProcW;  // replaced per window once its object is attached
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExW(&windowClass) != 0;
}

// The system's message font (on a Chinese system one that draws Chinese; elsewhere the system's
// font linking supplies the Chinese glyphs). Null leaves the controls on the default GUI font.
HFONT createMessageFont() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        return nullptr;
    }
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

}  // namespace

std::wstring Win32MainWindow::instructionText() {
    const wchar_t* const lines[] = {
        L"点击开始按钮，软件会自动删除剪切板及监控剪切板",
        L"开始之后你就可以复制好友的作品链接了",
        L"当剪切板中有作品链接时就会自动下载作品",
        L"下载完成后将自动删除剪切板，等待下一首作品上钩",
        L"你可以借助跨平台剪切板同步软件实现使用手机复制链接，电脑自动下载",
        L"",
        L"注意事项：",
        L"链接示例：https://songs.example/play?s=0Ab1Cd2Ef3&g_f=personal",
        L"请勿复制其它格式的文本",
        L"该版本暂时不能下载MV",
    };
    std::wstring text = lines[0];
    for (std::size_t i = 1; i < std::size(lines); ++i) {
        text += L"\r\n";
        text += lines[i];
    }
    return text;
}

Win32MainWindow::Win32MainWindow(ClipboardPort& clipboard, std::function<void()> onTick)
    : m_clipboard(clipboard), m_onTick(std::move(onTick)) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!registerWindowClass(instance)) {
        return;
    }
    // Centred on the primary screen by its outer size.
    const int left = (GetSystemMetrics(SM_CXSCREEN) - kOuterWidth) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - kOuterHeight) / 2;
    m_window = CreateWindowExW(0, kWindowClass, kTitle, kWindowStyle, left, top, kOuterWidth, kOuterHeight,
                               nullptr, nullptr, instance, nullptr);
    if (m_window == nullptr) {
        return;
    }
    SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Win32MainWindow::windowProcedure));

    const auto child = [&](const wchar_t* className, const wchar_t* text, DWORD style, int x, int y,
                           int width, int height, int id) {
        return CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                               m_window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                               nullptr);
    };
    // The label wraps lines wider than its 344 pixels.
    m_label = child(L"STATIC", instructionText().c_str(), SS_LEFT | SS_NOPREFIX, 0, 0, 344, 288, kLabelId);
    m_startButton = child(L"BUTTON", L"开始", BS_PUSHBUTTON | WS_TABSTOP, 0, 288, 104, 48, kStartId);
    m_stopButton =
        child(L"BUTTON", L"停止", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 104, 288, 136, 48, kStopId);

    m_font = createMessageFont();
    if (m_font != nullptr) {
        for (const HWND control : {m_label, m_startButton, m_stopButton}) {
            SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
        }
    }
}

Win32MainWindow::~Win32MainWindow() {
    if (m_window != nullptr && !m_closed) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        DestroyWindow(m_window);
    }
    if (m_font != nullptr) {
        DeleteObject(m_font);
    }
}

void Win32MainWindow::show(int showCommand) {
    if (m_window != nullptr) {
        ShowWindow(m_window, showCommand);
        UpdateWindow(m_window);
    }
}

void Win32MainWindow::OnStartClicked() {
    EnableWindow(m_startButton, FALSE);
    EnableWindow(m_stopButton, TRUE);
    m_clipboard.replaceWithEmptyText();
    setTimerPeriod(kMonitorPeriodMs);
}

void Win32MainWindow::OnStopClicked() {
    EnableWindow(m_stopButton, FALSE);
    EnableWindow(m_startButton, TRUE);
    setTimerPeriod(0);
}

void Win32MainWindow::setTimerPeriod(int period) {
    period = std::max(period, 0);
    if (period == m_period) {
        return;
    }
    if (m_window != nullptr) {
        KillTimer(m_window, kTimerId);
    }
    m_period = period;
    if (period > 0 && m_window != nullptr) {
        // One timer under one identifier: setting it again replaces it, never adds a second.
        SetTimer(m_window, kTimerId, static_cast<UINT>(period), nullptr);
    }
}

LRESULT CALLBACK Win32MainWindow::windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->handle(message, wParam, lParam);
}

LRESULT Win32MainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                if (LOWORD(wParam) == kStartId) {
                    OnStartClicked();
                    return 0;
                }
                if (LOWORD(wParam) == kStopId) {
                    OnStopClicked();
                    return 0;
                }
            }
            break;
        case WM_TIMER:
            if (wParam == kTimerId) {
                // A tick of a timer that was stopped may still be waiting in the queue.
                if (m_period > 0 && m_onTick) {
                    m_onTick();
                }
                return 0;
            }
            break;
        case WM_CTLCOLORSTATIC:
            // The label on the window's own background.
            SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        case WM_DESTROY:
            m_closed = true;
            m_period = 0;
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(m_window, message, wParam, lParam);
}

}  // namespace tarlowen
