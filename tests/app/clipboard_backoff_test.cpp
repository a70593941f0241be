#include "app/clipboard_backoff.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace tarlowen {
namespace {

using namespace std::chrono_literals;
using Clock = BackoffClipboard::Clock;

// A clipboard whose reads take as long as the test says, on a clock the test moves.
class SlowClipboard final : public ClipboardPort {
  public:
    explicit SlowClipboard(Clock::time_point& now) : m_now(now) {}

    [[nodiscard]] Text readText() override {
        ++reads;
        m_now += readTakes;
        return content;
    }
    void replaceWithEmptyText() override {
        ++replacements;
        content.clear();
    }

    Text content;
    std::chrono::milliseconds readTakes{0};
    int reads = 0;
    int replacements = 0;

  private:
    Clock::time_point& m_now;
};

class BackoffClipboardTest : public ::testing::Test {
  protected:
    // Ticks every 500 ms, as the window's timer does, for `span`; how many reads reached the
    // clipboard.
    int tickFor(std::chrono::milliseconds span) {
        const int before = m_inner.reads;
        const Clock::time_point end = m_now + span;
        while (m_now < end) {
            const Clock::time_point tickStart = m_now;
            (void)m_backoff.readText();
            m_now = std::max(m_now, tickStart + 500ms);
        }
        return m_inner.reads - before;
    }

    Clock::time_point m_now{std::chrono::hours(1)};
    SlowClipboard m_inner{m_now};
    BackoffClipboard m_backoff{m_inner, [this] { return m_now; }};
};

TEST_F(BackoffClipboardTest, QuickReadsAlwaysReachTheClipboard) {
    m_inner.readTakes = 10ms;
    EXPECT_EQ(tickFor(10s), 20);
    m_inner.content = "http://example.test/a";
    m_inner.readTakes = 3s;  // slow, but it answered
    EXPECT_EQ(m_backoff.readText(), "http://example.test/a");
    EXPECT_EQ(m_backoff.currentPause(), 0ms);
}

// The pauses double after each slow empty read, up to the longest, and reads in a pause never reach
// the clipboard.
TEST_F(BackoffClipboardTest, SlowEmptyReadsPauseTheReadsThatFollowLongerEachTime) {
    m_inner.readTakes = 5s;
    const std::vector<std::chrono::milliseconds> expected{5s, 10s, 20s, 40s, 60s, 60s};
    for (const std::chrono::milliseconds pause : expected) {
        ASSERT_EQ(m_backoff.readText(), "");
        EXPECT_EQ(m_backoff.currentPause(), pause);
        const int reads = m_inner.reads;
        // Ticks all through the pause read nothing; the first tick after it reads again.
        const Clock::time_point pauseEnd = m_now + pause;
        while (m_now + 500ms <= pauseEnd) {
            EXPECT_EQ(m_backoff.readText(), "");
            m_now += 500ms;
        }
        EXPECT_EQ(m_inner.reads, reads) << "a read reached the clipboard during a pause of " << pause.count();
        m_now = pauseEnd;
    }
}

// A read of one second or less that gives nothing is an empty clipboard, not a silent owner.
TEST_F(BackoffClipboardTest, AnEmptyReadWithinASecondIsNoReasonToPause) {
    m_inner.readTakes = 1s;
    EXPECT_EQ(tickFor(5s), 5);  // each read takes a whole second, so the timer falls due at once
    EXPECT_EQ(m_backoff.currentPause(), 0ms);
}

TEST_F(BackoffClipboardTest, AReadThatAnswersEndsThePauses) {
    m_inner.readTakes = 5s;
    (void)m_backoff.readText();
    m_now += 5s;
    (void)m_backoff.readText();
    ASSERT_EQ(m_backoff.currentPause(), 10s);
    m_now += 10s;
    m_inner.readTakes = 20ms;  // the silent owner has gone
    m_inner.content = "http://example.test/b";
    EXPECT_EQ(m_backoff.readText(), "http://example.test/b");
    EXPECT_EQ(m_backoff.currentPause(), 0ms);
    EXPECT_EQ(tickFor(2s), 4);
}

TEST_F(BackoffClipboardTest, EmptyingTheClipboardEndsThePauses) {
    m_inner.readTakes = 5s;
    (void)m_backoff.readText();
    ASSERT_EQ(m_backoff.currentPause(), 5s);
    m_backoff.replaceWithEmptyText();
    EXPECT_EQ(m_inner.replacements, 1);
    m_inner.readTakes = 0ms;
    m_inner.content = "http://example.test/c";
    EXPECT_EQ(m_backoff.readText(), "http://example.test/c");
}

}  // namespace
}  // namespace tarlowen
