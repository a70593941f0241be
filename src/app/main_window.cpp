#include "app/main_window.hpp"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <utility>

#include "platform/clipboard_port.hpp"

namespace tarlowen {

QString MainWindow::instructionText() {
    const QStringList lines{
        QStringLiteral("点击开始按钮，软件会自动删除剪切板及监控剪切板"),
        QStringLiteral("开始之后你就可以复制好友的作品链接了"),
        QStringLiteral("当剪切板中有作品链接时就会自动下载作品"),
        QStringLiteral("下载完成后将自动删除剪切板，等待下一首作品上钩"),
        QStringLiteral("你可以借助跨平台剪切板同步软件实现使用手机复制链接，电脑自动下载"),
        QString(),
        QStringLiteral("注意事项："),
        QStringLiteral("链接示例：https://songs.example/play?s=0Ab1Cd2Ef3&g_f=personal"),
        QStringLiteral("请勿复制其它格式的文本"),
        QStringLiteral("该版本暂时不能下载MV"),
    };
    return lines.join(QStringLiteral("\r\n"));
}

MainWindow::MainWindow(ClipboardPort& clipboard, std::function<void()> onTick, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_clipboard(clipboard),
      m_onTick(std::move(onTick)),
      m_label(new QLabel(this)),
      m_startButton(new QPushButton(QStringLiteral("开始"), this)),
      m_stopButton(new QPushButton(QStringLiteral("停止"), this)),
      m_timer(new QTimer(this)) {
    setWindowTitle(QStringLiteral("TarlowenV0.1 byOstrel"));
    // Found through fontconfig; the family is installed with the program's dependencies.
    QFont font(QStringLiteral("WenQuanYi Micro Hei"));
    font.setPointSize(9);
    setFont(font);

    m_label->setObjectName(QStringLiteral("标签1"));
    m_label->setTextFormat(Qt::PlainText);
    m_label->setText(instructionText());
    m_label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_label->setWordWrap(true);  // the longest line is wider than the label
    m_label->setGeometry(0, 0, 344, 288);

    m_startButton->setObjectName(QStringLiteral("按钮6"));
    m_startButton->setGeometry(0, 288, 104, 48);

    m_stopButton->setObjectName(QStringLiteral("按钮1"));
    m_stopButton->setGeometry(104, 288, 136, 48);
    m_stopButton->setEnabled(false);

    m_timer->setObjectName(QStringLiteral("时钟1"));
    m_timer->setSingleShot(false);

    connect(m_startButton, &QPushButton::clicked, this, &MainWindow::OnStartClicked);
    connect(m_stopButton, &QPushButton::clicked, this, &MainWindow::OnStopClicked);
    connect(m_timer, &QTimer::timeout, this, [this] {
        if (m_onTick) {
            m_onTick();
        }
    });

    fitOuterSize();
}

void MainWindow::OnStartClicked() {
    m_startButton->setEnabled(false);
    m_stopButton->setEnabled(true);
    m_clipboard.replaceWithEmptyText();
    setTimerPeriod(kMonitorPeriodMs);
}

void MainWindow::OnStopClicked() {
    m_stopButton->setEnabled(false);
    m_startButton->setEnabled(true);
    setTimerPeriod(0);
}

void MainWindow::setTimerPeriod(int period) {
    period = std::max(period, 0);
    if (period == m_period) {
        return;
    }
    m_timer->stop();
    m_period = period;
    if (period > 0) {
        m_timer->start(period);
    }
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    fitOuterSize();
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    // A window manager adds its frame after the window is shown, which moves the client area.
    fitOuterSize();
}

// Sizes the client area so that, with the frame the platform reports, the outer size is
// kOuterWidth x kOuterHeight, and centres that outer rectangle on the primary screen. Runs again
// only when the frame changes, so a window the user has moved stays where it was put.
void MainWindow::fitOuterSize() {
    const QWindow* window = windowHandle();
    const QMargins frame = window != nullptr ? window->frameMargins() : QMargins();
    if (m_frameFitted && frame == m_fittedFrame) {
        return;
    }
    m_frameFitted = true;
    m_fittedFrame = frame;
    setFixedSize(kOuterWidth - frame.left() - frame.right(), kOuterHeight - frame.top() - frame.bottom());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        // For a top-level window, move() places the outer frame.
        move(area.x() + (area.width() - kOuterWidth) / 2, area.y() + (area.height() - kOuterHeight) / 2);
    }
}

}  // namespace tarlowen
