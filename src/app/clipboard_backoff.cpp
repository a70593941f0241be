#include "app/clipboard_backoff.hpp"

#include <algorithm>
#include <utility>

namespace tarlowen {

BackoffClipboard::BackoffClipboard(ClipboardPort& inner, std::function<Clock::time_point()> now)
    : m_inner(inner), m_now(std::move(now)) {}

Text BackoffClipboard::readText() {
    const Clock::time_point start = m_now();
    if (m_pause.count() > 0 && start < m_pausedUntil) {
        return {};
    }
    Text text = m_inner.readText();
    const Clock::time_point end = m_now();
    if (text.empty() && end - start > kSlowRead) {
        m_pause = m_pause.count() == 0 ? kFirstPause : std::min(m_pause * 2, kLongestPause);
        m_pausedUntil = end + m_pause;
    } else {
        m_pause = std::chrono::milliseconds{0};
    }
    return text;
}

void BackoffClipboard::replaceWithEmptyText() {
    m_inner.replaceWithEmptyText();
    m_pause = std::chrono::milliseconds{0};
}

}  // namespace tarlowen
