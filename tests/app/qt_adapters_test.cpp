#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <vector>

#include "app/download_cycle.hpp"
#include "app/main_window.hpp"
#include "app/qt_clipboard.hpp"
#include "app/qt_message_pump.hpp"
#include "platform/http_engine.hpp"
#include "platform/message_pump.hpp"
#include "support/case_name.hpp"
#include "support/fake_clipboard.hpp"
#include "support/scripted_http_server.hpp"

namespace tarlowen {
namespace {

using testing_support::FakeClipboard;
using testing_support::PrintTo;

struct ClipboardReadCase {
    const char* name;
    QString onClipboard;
    Text expected;
};

class QtClipboardReadTest : public ::testing::TestWithParam<ClipboardReadCase> {};

TEST_P(QtClipboardReadTest, ReadsTextInCodePage936) {
    const ClipboardReadCase& c = GetParam();
    QGuiApplication::clipboard()->setText(c.onClipboard);
    QtClipboard clipboard;
    EXPECT_EQ(clipboard.readText(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QtClipboardReadTest,
    ::testing::Values(ClipboardReadCase{"ascii", QStringLiteral("https://songs.example/play?s=1"),
                                        "https://songs.example/play?s=1"},
                      ClipboardReadCase{"chinese", QStringLiteral("中文 link"), "\xD6\xD0\xCE\xC4 link"},
                      ClipboardReadCase{"unmappableBecomesQuestionMarks", QStringLiteral("a\U0001F600b"),
                                        "a??b"},
                      ClipboardReadCase{"endsAtZeroCharacter", QString::fromUtf16(u"ab\0cd", 5), "ab"},
                      ClipboardReadCase{"leadingZeroCharacterIsEmpty", QString::fromUtf16(u"\0x", 2), ""}),
    testing_support::CaseName{});

TEST(QtClipboardTest, NothingOnClipboardReadsEmpty) {
    QGuiApplication::clipboard()->clear();
    QtClipboard clipboard;
    EXPECT_EQ(clipboard.readText(), "");
}

TEST(QtClipboardTest, ReplacingLeavesAnEmptyText) {
    QGuiApplication::clipboard()->setText(QStringLiteral("a link"));
    QtClipboard clipboard;

    clipboard.replaceWithEmptyText();

    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(data->hasText());
    EXPECT_TRUE(data->text().isEmpty());
    EXPECT_EQ(clipboard.readText(), "");
}

TEST(QtMessagePumpTest, HandlesWaitingEventsWhileInstalled) {
    int calls = 0;
    const auto post = [&] { QTimer::singleShot(0, qApp, [&] { ++calls; }); };
    {
        const QtMessagePump pump;
        post();
        PumpWaitingMessages();
        EXPECT_EQ(calls, 1);
    }
    post();
    PumpWaitingMessages();  // the pump is gone: the event stays queued
    EXPECT_EQ(calls, 1);
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 2);
}

TEST(QtMessagePumpTest, DeferredDeletesWaitForTheEventLoop) {
    const QtMessagePump pump;
    QPointer<QObject> scheduled;
    QTimer::singleShot(0, qApp, [&] {
        scheduled = new QObject;
        scheduled->deleteLater();
        PumpWaitingMessages();
        EXPECT_FALSE(scheduled.isNull());
        QCoreApplication::exit(0);
    });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(scheduled.isNull());
}

// Closing the window while a cycle pumps events ends the program once that cycle is done, the pump
// handles nothing after the quit request, and the cycle fetches and saves nothing more.
TEST(QtMessagePumpTest, CloseDuringCycleEndsProgramAfterCycle) {
    const QtMessagePump pump;
    FakeClipboard clipboard;
    std::vector<std::string> steps;
    MainWindow* window = nullptr;

    DownloadCycle cycle(
        clipboard,
        [&](const Text&) {
            steps.emplace_back("page fetch");
            QMetaObject::invokeMethod(window, &QWidget::close, Qt::QueuedConnection);
            PumpWaitingMessages();  // the close
            PumpWaitingMessages();  // the quit request it posts
            QTimer::singleShot(0, qApp, [&] { steps.emplace_back("event after quit"); });
            PumpWaitingMessages();
            steps.emplace_back("page fetched");
            return Text("\"playurl\":\"m\",\"song_name\":\"s\",\"nick\":\"n\"");
        },
        [&](const Text&, const MediaSink&) {
            steps.emplace_back("media fetch");
            return 200;
        },
        MediaFolders{"/nowhere", {}}, {}, [&](std::string_view) { steps.emplace_back("no folder to save in"); });

    MainWindow shown(clipboard, [&] { cycle.OnTick(); });
    window = &shown;
    shown.show();
    shown.OnStartClicked();
    clipboard.content = "link";
    // A safety net so a broken quit path fails the test instead of hanging it.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(20000);

    const int result = QCoreApplication::exec();

    EXPECT_EQ(result, 0);
    EXPECT_FALSE(shown.isVisible());
    EXPECT_TRUE(pump.quitRequested());
    EXPECT_EQ(steps, (std::vector<std::string>{"page fetch", "page fetched"}));
    EXPECT_EQ(clipboard.content, Text());
    QCoreApplication::processEvents();  // drop the call left queued
}

// The heartbeat of a transfer lets the window answer without counting as one of the transfers'
// event points, and closing the window calls off the transfer in progress and every later one.
TEST(QtMessagePumpTest, HeartbeatHandlesEventsAndCallsOffTransfersOnceTheWindowCloses) {
    using namespace std::chrono_literals;
    const QtMessagePump pump;
    int pumps = 0;
    const auto previous = setMessagePumpHandler([&pumps] { ++pumps; });
    FakeClipboard clipboard;
    MainWindow window(clipboard, [] {});
    window.show();

    int calls = 0;
    QTimer::singleShot(0, qApp, [&] { ++calls; });
    EXPECT_TRUE(KeepTransferGoing());
    EXPECT_EQ(calls, 1);

    // A body that never comes: only the close can end this exchange in time.
    testing_support::ScriptedHttpServer server;
    server.setDefaultReply(testing_support::Reply{}
                               .send(testing_support::responseHead(200, {{"Content-Length", "100"}}) + "abc")
                               .stall());
    HttpRequest request;
    request.url = server.url("/slow");
    request.timeouts =
        HttpTimeouts{.resolveMs = 60000, .connectMs = 60000, .sendMs = 60000, .receiveMs = 60000};
    QTimer::singleShot(300ms, &window, [&window] { window.close(); });
    HttpResponse response;
    std::chrono::steady_clock::duration took{};
    // Inside the event loop, as in the program: only there does closing the last window quit.
    QTimer::singleShot(0, qApp, [&] {
        const auto start = std::chrono::steady_clock::now();
        response = performHttpExchange(request);
        took = std::chrono::steady_clock::now() - start;
    });
    QTimer guard;  // a broken quit path fails the test instead of hanging it
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(20000);
    EXPECT_EQ(QCoreApplication::exec(), 0);

    EXPECT_EQ(response.failure, HttpFailurePhase::Read) << response.failureDetail;
    EXPECT_EQ(std::string(response.body.begin(), response.body.end()), "abc");
    EXPECT_LT(took, 10s);  // did not wait for the limits
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(pump.quitRequested());
    EXPECT_FALSE(KeepTransferGoing());
    EXPECT_EQ(pumps, 0);

    const HttpResponse later = performHttpExchange(request);
    EXPECT_EQ(later.failure, HttpFailurePhase::Send);
    EXPECT_EQ(server.requests().size(), 1u);
    setMessagePumpHandler(previous);
}

}  // namespace
}  // namespace tarlowen
