#pragma once

#include <functional>

namespace tarlowen {

// Lets the window handle the events already waiting, without waiting for new ones. The transfers call
// it at fixed points of an exchange; the application installs the handler that does the work, and
// without one it does nothing.
void PumpWaitingMessages();

// Installs `handler` (an empty function removes it) and returns the one it replaces.
std::function<void()> setMessagePumpHandler(std::function<void()> handler);

}  // namespace tarlowen
