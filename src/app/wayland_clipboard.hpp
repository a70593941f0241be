#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/clipboard_port.hpp"

namespace tarlowen {

// The clipboard of a Wayland session through the compositor's data-control protocol
// (ext-data-control-v1 where the compositor offers it, else zwlr-data-control-unstable-v1), which
// lets a program read and set the selection without having focus: the toolkit's own Wayland
// clipboard sees a copy only while one of our windows has focus, and the compositor refuses its
// emptying without a fresh input serial.
//
// A thread of its own owns the connection: it answers other programs' requests for our empty text
// whenever they come, also while the window's thread is busy with a transfer. readText() and
// replaceWithEmptyText() hand their work to that thread and wait for it, never longer than
// kReadLimit (plus a margin): a selection owner that never writes makes the read give empty text.
class WaylandClipboard final : public ClipboardPort {
  public:
    static constexpr std::chrono::milliseconds kReadLimit{2000};
    // A longer text is no address; it reads as empty text.
    static constexpr std::size_t kLargestText = 1U << 20U;

    class Session;

    struct Connection {
        std::unique_ptr<WaylandClipboard> clipboard;  // null when unusable
        bool reachable = false;                       // the compositor took the connection
        std::string protocol;                         // the data-control protocol in use
    };

    // Connects to the compositor that WAYLAND_DISPLAY names (nothing is tried when it is not set).
    // The clipboard is null when the compositor cannot be reached, does not answer within `limit`,
    // or offers neither data-control protocol or no seat.
    [[nodiscard]] static Connection connect(std::chrono::milliseconds limit = std::chrono::milliseconds{
                                                2000});

    ~WaylandClipboard() override;
    WaylandClipboard(const WaylandClipboard&) = delete;
    WaylandClipboard& operator=(const WaylandClipboard&) = delete;

    // The selection's text (UTF-8 preferred) in code page 936, converted as the toolkit adapter
    // converts it; empty when there is no text, when we own the selection, when the owner does not
    // deliver within kReadLimit, or when the text is larger than kLargestText.
    [[nodiscard]] Text readText() override;

    // Makes an empty text of ours the selection, and serves it until another program takes the
    // selection over.
    void replaceWithEmptyText() override;

  private:
    explicit WaylandClipboard(std::unique_ptr<Session> session);

    std::unique_ptr<Session> m_session;
};

}  // namespace tarlowen
