#pragma once

#include <chrono>
#include <functional>

#include "platform/clipboard_port.hpp"

namespace tarlowen {

// Keeps a clipboard owner that never answers from taking the program hostage. Reading the
// clipboard waits for its owner to hand the text over, up to the clipboard's own time limit (the
// toolkit's is 5 s). An owner that takes the selection and ignores every request would make each
// tick wait that long, the next tick would fall due at once, and the window would hardly ever get
// to handle a click or a close. So a read that took longer than kSlowRead and gave nothing makes
// the reads that follow pause: 5 s, then 10 s, 20 s, 40 s, at most 60 s, each pause doubling after
// another slow empty read. A paused read gives empty text without asking the clipboard. Any read
// that answers (gives text, or comes back quickly) ends the pauses, and so does emptying the
// clipboard, which takes the selection away from whoever held it.
class BackoffClipboard final : public ClipboardPort {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kSlowRead{1000};
    static constexpr std::chrono::milliseconds kFirstPause{5000};
    static constexpr std::chrono::milliseconds kLongestPause{60000};

    // `inner` must outlive this object; `now` tells the time (a test passes its own clock).
    explicit BackoffClipboard(ClipboardPort& inner, std::function<Clock::time_point()> now = Clock::now);

    [[nodiscard]] Text readText() override;
    void replaceWithEmptyText() override;

    // The pause in force after the last slow read; zero when reads go through.
    [[nodiscard]] std::chrono::milliseconds currentPause() const { return m_pause; }

  private:
    ClipboardPort& m_inner;
    std::function<Clock::time_point()> m_now;
    std::chrono::milliseconds m_pause{0};
    Clock::time_point m_pausedUntil{};
};

}  // namespace tarlowen
