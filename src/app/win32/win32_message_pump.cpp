#include "app/win32/win32_message_pump.hpp"

#include <windows.h>

#include <utility>

#include "platform/message_pump.hpp"

namespace tarlowen {

Win32MessagePump::Win32MessagePump(std::function<bool()> closing) : m_closing(std::move(closing)) {
    m_previousPump = setMessagePumpHandler([this] { pump(); });
    m_previousHeartbeat = setTransferHeartbeatHandler([this] { return pump(); });
}

Win32MessagePump::~Win32MessagePump() {
    setMessagePumpHandler(std::move(m_previousPump));
    setTransferHeartbeatHandler(std::move(m_previousHeartbeat));
}

bool Win32MessagePump::pump() {
    // Once the window is closing nothing more runs nested: the handler that is running finishes
    // undisturbed, and the main loop then ends the program.
    if (m_closing && m_closing()) {
        return false;
    }
    MSG message;
    // Messages posted while this runs are handled too; the queue empties because dispatching does
    // not refill it faster than it drains (a timer posts at most one tick per period).
    while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
        if (message.message == WM_QUIT) {
            return false;
        }
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            break;
        }
        if (message.message == WM_QUIT) {
            // Arrived between the two looks: put it back for the main loop.
            PostQuitMessage(static_cast<int>(message.wParam));
            return false;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return true;
}

}  // namespace tarlowen
