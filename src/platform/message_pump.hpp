#pragma once

#include <functional>

namespace tarlowen {

// Lets the window handle the events already waiting, without waiting for new ones. The transfers call
// it at fixed points of an exchange; the application installs the handler that does the work, and
// without one it does nothing.
void PumpWaitingMessages();

// Installs `handler` (an empty function removes it) and returns the one it replaces.
std::function<void()> setMessagePumpHandler(std::function<void()> handler);

// The beat a running transfer gives the program at least every 100 ms while it waits for or moves
// bytes, so the window keeps answering during a long exchange. The application's handler looks at
// the waiting window events and returns false once the program is closing: the exchange in progress
// then ends as failed, and a new one fails before it starts. Without a handler it returns true.
// Unlike PumpWaitingMessages, it is not one of the transfers' fixed event points.
[[nodiscard]] bool KeepTransferGoing();

// Installs `handler` (an empty function removes it) and returns the one it replaces.
std::function<bool()> setTransferHeartbeatHandler(std::function<bool()> handler);

}  // namespace tarlowen
