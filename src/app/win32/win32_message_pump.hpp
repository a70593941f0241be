#pragma once

#include <functional>

namespace tarlowen {

// While it lives, PumpWaitingMessages() dispatches the messages already waiting in the thread's
// queue without waiting for new ones, stopping at a quit message, which stays in the queue for the
// main loop. Once the program is closing (the quit message is waiting, or `closing` says so) it
// dispatches nothing more. The transfer heartbeat pumps the same way and answers false once the
// program is closing, so a running exchange ends and no new one starts. Create it on the window's
// thread.
class Win32MessagePump {
  public:
    explicit Win32MessagePump(std::function<bool()> closing = {});
    ~Win32MessagePump();
    Win32MessagePump(const Win32MessagePump&) = delete;
    Win32MessagePump& operator=(const Win32MessagePump&) = delete;

    // Dispatches what is waiting; false once the quit message is waiting.
    bool pump();

  private:
    std::function<bool()> m_closing;
    std::function<void()> m_previousPump;
    std::function<bool()> m_previousHeartbeat;
};

}  // namespace tarlowen
