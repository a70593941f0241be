// The Win32 front against the system (under Wine when cross-built): the window's layout and switch,
// the message pump and transfer heartbeat, and the clipboard port.
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "app/win32/main_window_win32.hpp"
#include "app/win32/win32_clipboard.hpp"
#include "app/win32/win32_message_pump.hpp"
#include "platform/message_pump.hpp"
#include "support/fake_clipboard.hpp"

namespace tarlowen {
namespace {

using testing_support::FakeClipboard;

std::wstring windowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Dispatches messages until `done` holds or `limit` passes; true when it held.
template <class Condition>
bool pumpUntil(Condition done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left.count()), QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                continue;  // a window closed by an earlier step; nothing here ends on it
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

// Takes a quit message out of the queue, so the next test starts with none; true if one was there.
bool takeQuitMessage() {
    MSG message;
    return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
}

TEST(Win32MainWindowTest, StartsIdleWithItsTitleLayoutAndFixedFrame) {
    FakeClipboard clipboard(Text("http://before.start/"));
    int ticks = 0;
    Win32MainWindow window(clipboard, [&] { ++ticks; });
    ASSERT_TRUE(window.valid());
    window.show();

    EXPECT_EQ(windowText(window.handle()), L"TarlowenV0.1 byOstrel");
    RECT outer{};
    ASSERT_TRUE(GetWindowRect(window.handle(), &outer));
    EXPECT_EQ(outer.right - outer.left, Win32MainWindow::kOuterWidth);
    EXPECT_EQ(outer.bottom - outer.top, Win32MainWindow::kOuterHeight);
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - Win32MainWindow::kOuterWidth) / 2);
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - Win32MainWindow::kOuterHeight) / 2);

    const auto style = static_cast<DWORD>(GetWindowLongPtrW(window.handle(), GWL_STYLE));
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);  // the user cannot resize it

    // Controls in client coordinates, as laid out.
    const auto placement = [&](HWND control) {
        RECT rect{};
        GetWindowRect(control, &rect);
        MapWindowPoints(nullptr, window.handle(), reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    };
    const RECT label = placement(window.label());
    const RECT start = placement(window.startButton());
    const RECT stop = placement(window.stopButton());
    EXPECT_EQ((std::array<LONG, 4>{label.left, label.top, label.right, label.bottom}),
              (std::array<LONG, 4>{0, 0, 344, 288}));
    EXPECT_EQ((std::array<LONG, 4>{start.left, start.top, start.right, start.bottom}),
              (std::array<LONG, 4>{0, 288, 104, 336}));
    EXPECT_EQ((std::array<LONG, 4>{stop.left, stop.top, stop.right, stop.bottom}),
              (std::array<LONG, 4>{104, 288, 240, 336}));

    EXPECT_EQ(windowText(window.label()), Win32MainWindow::instructionText());
    EXPECT_EQ(windowText(window.startButton()), L"开始");
    EXPECT_EQ(windowText(window.stopButton()), L"停止");
    EXPECT_TRUE(IsWindowEnabled(window.startButton()));
    EXPECT_FALSE(IsWindowEnabled(window.stopButton()));
    EXPECT_EQ(window.timerPeriod(), 0);
    // No timer exists, so none can tick, and the link copied before Start stays untouched.
    EXPECT_FALSE(KillTimer(window.handle(), Win32MainWindow::kTimerId));
    EXPECT_EQ(clipboard.replacements, 0);
    EXPECT_EQ(ticks, 0);
}

TEST(Win32MainWindowTest, InstructionTextHasTheTenLinesInOrder) {
    const std::wstring text = Win32MainWindow::instructionText();
    EXPECT_EQ(text.rfind(L"点击开始按钮", 0), 0u);
    EXPECT_NE(text.find(L"\r\n\r\n注意事项：\r\n链接示例：http"), std::wstring::npos);
    EXPECT_NE(text.find(L"&g_f=personal\r\n请勿复制其它格式的文本\r\n该版本暂时不能下载MV"),
              std::wstring::npos);
    EXPECT_EQ(text.substr(text.size() - 2), L"MV");
}

TEST(Win32MainWindowTest, ButtonsSwitchMonitoringAndTheTimerTicksThroughTheQueue) {
    FakeClipboard clipboard(Text("http://before.start/"));
    int ticks = 0;
    Win32MainWindow window(clipboard, [&] { ++ticks; });
    ASSERT_TRUE(window.valid());
    window.show();

    // A real click message, as the button sends it.
    SendMessageW(window.startButton(), BM_CLICK, 0, 0);
    EXPECT_FALSE(IsWindowEnabled(window.startButton()));
    EXPECT_TRUE(IsWindowEnabled(window.stopButton()));
    EXPECT_EQ(clipboard.replacements, 1);
    EXPECT_EQ(clipboard.content, Text());
    EXPECT_EQ(window.timerPeriod(), 500);
    EXPECT_EQ(ticks, 0);  // the first tick comes a period later, through the queue
    EXPECT_TRUE(pumpUntil([&] { return ticks >= 2; }));

    SendMessageW(window.stopButton(), BM_CLICK, 0, 0);
    EXPECT_TRUE(IsWindowEnabled(window.startButton()));
    EXPECT_FALSE(IsWindowEnabled(window.stopButton()));
    EXPECT_EQ(window.timerPeriod(), 0);
    EXPECT_FALSE(KillTimer(window.handle(), Win32MainWindow::kTimerId));  // stopped: no timer left

    // A link copied while stopped stays; Start empties the clipboard again.
    clipboard.content = Text("http://while.stopped/");
    SendMessageW(window.startButton(), BM_CLICK, 0, 0);
    EXPECT_EQ(clipboard.content, Text());
    EXPECT_EQ(clipboard.replacements, 2);
}

TEST(Win32MainWindowTest, TimerPeriodRules) {
    FakeClipboard clipboard;
    Win32MainWindow window(clipboard, [] {});
    ASSERT_TRUE(window.valid());
    window.setTimerPeriod(-5);
    EXPECT_EQ(window.timerPeriod(), 0);
    EXPECT_FALSE(KillTimer(window.handle(), Win32MainWindow::kTimerId));
    window.setTimerPeriod(500);
    window.setTimerPeriod(500);
    window.setTimerPeriod(250);
    EXPECT_EQ(window.timerPeriod(), 250);
    // Start, Stop, Start: one timer under one identifier, so one kill removes it.
    window.setTimerPeriod(0);
    window.setTimerPeriod(500);
    EXPECT_TRUE(KillTimer(window.handle(), Win32MainWindow::kTimerId));
    EXPECT_FALSE(KillTimer(window.handle(), Win32MainWindow::kTimerId));
}

TEST(Win32MessagePumpTest, DispatchesWaitingMessagesAndStopsAtQuit) {
    FakeClipboard clipboard;
    int ticks = 0;
    Win32MainWindow window(clipboard, [&] { ++ticks; });
    ASSERT_TRUE(window.valid());
    const Win32MessagePump pump([&window] { return window.closed(); });

    // A click waiting in the queue runs inside the pump.
    PostMessageW(window.handle(), WM_COMMAND, MAKEWPARAM(Win32MainWindow::kStartId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(window.startButton()));
    PumpWaitingMessages();
    EXPECT_EQ(window.timerPeriod(), 500);
    EXPECT_TRUE(KeepTransferGoing());

    // Closing the window while a transfer runs: the heartbeat calls it off, the quit message
    // stays for the main loop, and later pumps dispatch nothing more.
    PostMessageW(window.handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(KeepTransferGoing());
    EXPECT_TRUE(window.closed());
    PostMessageW(nullptr, WM_USER, 0, 0);  // a thread message behind the quit message
    PumpWaitingMessages();
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE));
    EXPECT_TRUE(takeQuitMessage());
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_REMOVE);
}

TEST(Win32MessagePumpTest, RemovedPumpRestoresThePreviousHandlers) {
    int outer = 0;
    const auto previous = setMessagePumpHandler([&] { ++outer; });
    {
        const Win32MessagePump pump;
        PumpWaitingMessages();
        EXPECT_EQ(outer, 0);
    }
    PumpWaitingMessages();
    EXPECT_EQ(outer, 1);
    EXPECT_TRUE(KeepTransferGoing());
    setMessagePumpHandler(previous);
}

class Win32ClipboardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_owner = CreateWindowExW(0, L"STATIC", L"clipboard owner", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(m_owner, nullptr);
    }
    void TearDown() override { DestroyWindow(m_owner); }

    void putUnicode(const std::wstring& text) {
        ASSERT_TRUE(OpenClipboard(m_owner));
        EmptyClipboard();
        const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
        ASSERT_NE(block, nullptr);
        std::memcpy(GlobalLock(block), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        GlobalUnlock(block);
        EXPECT_NE(SetClipboardData(CF_UNICODETEXT, block), nullptr);
        CloseClipboard();
    }

    // The Unicode text on the clipboard; nullopt when it holds none at all.
    std::optional<std::wstring> unicodeText() {
        if (!OpenClipboard(m_owner)) {
            return std::nullopt;
        }
        std::optional<std::wstring> text;
        if (const HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
            text = std::wstring(static_cast<const wchar_t*>(GlobalLock(data)));
            GlobalUnlock(data);
        }
        CloseClipboard();
        return text;
    }

    HWND m_owner = nullptr;
};

TEST_F(Win32ClipboardTest, ReadsUnicodeTextAsCodePage936) {
    Win32Clipboard clipboard(m_owner);
    putUnicode(L"http://songs.example/play?s=\u4E2D\u6587&x=\u00E9\U0001F600");
    EXPECT_EQ(clipboard.readText(), Text("http://songs.example/play?s=\xD6\xD0\xCE\xC4&x=\xA8\xA6??"));
}

TEST_F(Win32ClipboardTest, EmptyingLeavesAnEmptyTextNotNothing) {
    Win32Clipboard clipboard(m_owner);
    putUnicode(L"http://songs.example/play?s=1");
    clipboard.replaceWithEmptyText();
    EXPECT_EQ(unicodeText(), std::optional<std::wstring>(L""));
    EXPECT_EQ(clipboard.readText(), Text());
}

TEST_F(Win32ClipboardTest, ClipboardHeldByAnotherWindowReadsEmptyAndIsLeftAlone) {
    putUnicode(L"kept");
    ASSERT_TRUE(OpenClipboard(m_owner));  // held while the port tries
    Win32Clipboard clipboard(nullptr);
    // Under Wine, as on Windows, the clipboard is held per thread: another thread cannot open it.
    Text read = "unset";
    std::thread other([&] {
        read = clipboard.readText();
        clipboard.replaceWithEmptyText();
    });
    other.join();
    CloseClipboard();
    EXPECT_EQ(read, Text());
    EXPECT_EQ(unicodeText(), std::optional<std::wstring>(L"kept"));
}

}  // namespace
}  // namespace tarlowen
