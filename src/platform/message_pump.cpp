#include "platform/message_pump.hpp"

#include <utility>

namespace tarlowen {
namespace {

std::function<void()>& installedHandler() {
    static std::function<void()> handler;
    return handler;
}

std::function<bool()>& installedHeartbeat() {
    static std::function<bool()> handler;
    return handler;
}

}  // namespace

void PumpWaitingMessages() {
    // A copy, so a handler that replaces itself while running stays alive until it returns.
    const std::function<void()> handler = installedHandler();
    if (handler) {
        handler();
    }
}

std::function<void()> setMessagePumpHandler(std::function<void()> handler) {
    return std::exchange(installedHandler(), std::move(handler));
}

bool KeepTransferGoing() {
    const std::function<bool()> handler = installedHeartbeat();
    return !handler || handler();
}

std::function<bool()> setTransferHeartbeatHandler(std::function<bool()> handler) {
    return std::exchange(installedHeartbeat(), std::move(handler));
}

}  // namespace tarlowen
