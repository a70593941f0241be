#include "app/main_window.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "support/fake_clipboard.hpp"

namespace tarlowen {
namespace {

using testing_support::FakeClipboard;

class MainWindowTest : public ::testing::Test {
  protected:
    MainWindowTest() : m_window(m_clipboard, [this] { ++m_ticks; }) {}

    [[nodiscard]] QPushButton* startButton() {
        return m_window.findChild<QPushButton*>(QStringLiteral("按钮6"));
    }
    [[nodiscard]] QPushButton* stopButton() {
        return m_window.findChild<QPushButton*>(QStringLiteral("按钮1"));
    }
    [[nodiscard]] QTimer* timer() { return m_window.findChild<QTimer*>(QStringLiteral("时钟1")); }

    void click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    FakeClipboard m_clipboard{Text("copied before start")};
    int m_ticks = 0;
    MainWindow m_window;
};

TEST_F(MainWindowTest, StartsIdleWithItsControls) {
    EXPECT_EQ(m_window.windowTitle(), QStringLiteral("TarlowenV0.1 byOstrel"));

    const auto* label = m_window.findChild<QLabel*>(QStringLiteral("标签1"));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->geometry(), QRect(0, 0, 344, 288));
    EXPECT_EQ(label->text(),
              QStringLiteral("点击开始按钮，软件会自动删除剪切板及监控剪切板\r\n"
                             "开始之后你就可以复制好友的作品链接了\r\n"
                             "当剪切板中有作品链接时就会自动下载作品\r\n"
                             "下载完成后将自动删除剪切板，等待下一首作品上钩\r\n"
                             "你可以借助跨平台剪切板同步软件实现使用手机复制链接，电脑自动下载\r\n"
                             "\r\n"
                             "注意事项：\r\n"
                             "链接示例：https://songs.example/play?s=0Ab1Cd2Ef3&g_f=personal\r\n"
                             "请勿复制其它格式的文本\r\n"
                             "该版本暂时不能下载MV"));

    ASSERT_NE(startButton(), nullptr);
    EXPECT_EQ(startButton()->text(), QStringLiteral("开始"));
    EXPECT_EQ(startButton()->geometry(), QRect(0, 288, 104, 48));
    EXPECT_TRUE(startButton()->isEnabled());

    ASSERT_NE(stopButton(), nullptr);
    EXPECT_EQ(stopButton()->text(), QStringLiteral("停止"));
    EXPECT_EQ(stopButton()->geometry(), QRect(104, 288, 136, 48));
    EXPECT_FALSE(stopButton()->isEnabled());

    ASSERT_NE(timer(), nullptr);
    EXPECT_FALSE(timer()->isActive());
    EXPECT_EQ(m_window.timerPeriod(), 0);

    // Nothing touches the clipboard before Start.
    EXPECT_EQ(m_clipboard.replacements, 0);
    EXPECT_EQ(m_clipboard.reads, 0);
}

TEST_F(MainWindowTest, ShowsFixedAndCentredOnPrimaryScreen) {
    m_window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));

    EXPECT_EQ(m_window.frameGeometry().size(), QSize(425, 365));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(m_window.frameGeometry().topLeft(),
              QPoint(screen.x() + (screen.width() - 425) / 2, screen.y() + (screen.height() - 365) / 2));
    EXPECT_EQ(m_window.minimumSize(), m_window.maximumSize());

    const Qt::WindowFlags flags = m_window.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
}

TEST_F(MainWindowTest, StartEmptiesClipboardAndTicksEvery500Ms) {
    click(startButton());

    EXPECT_FALSE(startButton()->isEnabled());
    EXPECT_TRUE(stopButton()->isEnabled());
    EXPECT_EQ(m_clipboard.replacements, 1);
    EXPECT_EQ(m_clipboard.content, Text());  // an empty text, not nothing
    EXPECT_EQ(m_window.timerPeriod(), 500);
    EXPECT_TRUE(timer()->isActive());
    EXPECT_EQ(timer()->interval(), 500);
    EXPECT_FALSE(timer()->isSingleShot());

    QSignalSpy ticks(timer(), &QTimer::timeout);
    ASSERT_TRUE(ticks.wait(5000));
    EXPECT_GE(m_ticks, 1);
}

TEST_F(MainWindowTest, StopSwitchesBackAndLeavesClipboardAlone) {
    click(startButton());
    m_clipboard.content = "copied while monitoring";
    click(stopButton());

    EXPECT_TRUE(startButton()->isEnabled());
    EXPECT_FALSE(stopButton()->isEnabled());
    EXPECT_EQ(m_window.timerPeriod(), 0);
    EXPECT_FALSE(timer()->isActive());
    EXPECT_EQ(m_clipboard.replacements, 1);
    EXPECT_EQ(m_clipboard.content, Text("copied while monitoring"));
}

TEST_F(MainWindowTest, StartStopStartKeepsOneTimerTicking) {
    click(startButton());
    click(stopButton());
    click(startButton());

    EXPECT_EQ(m_window.findChildren<QTimer*>().size(), 1);
    EXPECT_TRUE(timer()->isActive());
    EXPECT_EQ(timer()->interval(), 500);
    EXPECT_EQ(m_clipboard.replacements, 2);

    QSignalSpy ticks(timer(), &QTimer::timeout);
    ASSERT_TRUE(ticks.wait(5000));
    EXPECT_EQ(ticks.count(), m_ticks);  // each tick ran the handler once
}

TEST_F(MainWindowTest, TimerPeriodRules) {
    m_window.setTimerPeriod(-5);
    EXPECT_EQ(m_window.timerPeriod(), 0);
    EXPECT_FALSE(timer()->isActive());

    m_window.setTimerPeriod(250);
    EXPECT_TRUE(timer()->isActive());
    EXPECT_EQ(timer()->interval(), 250);

    m_window.setTimerPeriod(-1);
    EXPECT_EQ(m_window.timerPeriod(), 0);
    EXPECT_FALSE(timer()->isActive());
}

}  // namespace
}  // namespace tarlowen
