// While a web transfer or a database call waits, the window keeps painting
// but a click the user makes meanwhile is neither handled nor lost: it is
// handled where the action next processes pending events. A close of the
// window reaches it during the wait, and a box opened during the wait
// takes the user's click.
#include "common/webfixture.h"
#include "sp/workerthread.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <qpa/qwindowsysteminterface.h>

#include <functional>

namespace {
// What the user does during the wait besides the click on the button, or
// instead of it.
enum class Also { Nothing, Close, AnswerBox, TapInstead };

// The window system queues a click on the middle of the widget, the press
// and the release, as it would for a real mouse.
void queueClick(QWidget *widget)
{
    QWindow *window = widget->window()->windowHandle();
    const QPointF local = widget->mapTo(widget->window(), widget->rect().center());
    const QPoint global = window->mapToGlobal(local.toPoint());
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(window, local, global,
                                                                                           Qt::LeftButton,
                                                                                           Qt::LeftButton,
                                                                                           QEvent::MouseButtonPress);
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(window, local, global,
                                                                                           Qt::NoButton, Qt::LeftButton,
                                                                                           QEvent::MouseButtonRelease);
}

// Refuses every close of the widget it watches, counting those that come
// while `during` is set.
class CloseCounter : public QObject
{
public:
    bool during = false;
    int count = 0;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Close)
            return QObject::eventFilter(watched, event);
        count += during ? 1 : 0;
        event->ignore();
        return true;
    }
};
} // namespace

Q_DECLARE_METATYPE(std::function<void(WebFixture &)>)
Q_DECLARE_METATYPE(Also)

class TestInputDeferred : public QObject
{
    Q_OBJECT
private slots:
    void clickDuringAWait_data();
    void clickDuringAWait();
};

void TestInputDeferred::clickDuringAWait_data()
{
    QTest::addColumn<std::function<void(WebFixture &)>>("wait");
    QTest::addColumn<Also>("also");
    const std::function<void(WebFixture &)> download = [](WebFixture &web) {
        QCOMPARE(
            web.web().downloadToFile(web.url(QStringLiteral("/slow.bin")), web.path(QStringLiteral("slow.bin"))).code,
            0);
    };
    const std::function<void(WebFixture &)> databaseCall = [](WebFixture &) {
        WorkerThread worker(QStringLiteral("w"));
        worker.run([] { QThread::msleep(400); });
    };
    QTest::newRow("DownloadToFile") << download << Also::Nothing;
    QTest::newRow("FetchText") << std::function<void(WebFixture &)>([](WebFixture &web) {
        QCOMPARE(web.web().fetchText(web.url(QStringLiteral("/slow.bin"))).text.size(), 4096);
    }) << Also::Nothing;
    QTest::newRow("database call") << databaseCall << Also::Nothing;
    QTest::newRow("DownloadToFile, window closed") << download << Also::Close;
    QTest::newRow("database call, a box answered") << databaseCall << Also::AnswerBox;
    QTest::newRow("database call, a touch tap") << databaseCall << Also::TapInstead;
}

void TestInputDeferred::clickDuringAWait()
{
    QFETCH(std::function<void(WebFixture &)>, wait);
    QFETCH(Also, also);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/slow.bin"), QByteArray(4096, 's'));
    HttpsFileServer::Fault trickle;
    trickle.trickleBytes = 256;
    trickle.trickleIntervalMs = 25; // about 400 ms in all
    web.server().setFault(QStringLiteral("/slow.bin"), trickle);

    QPushButton button(QStringLiteral("Update Reports"));
    button.resize(150, 40);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    int clicks = 0;
    connect(&button, &QPushButton::clicked, this, [&] { ++clicks; });
    int ticks = 0;
    QTimer painter;
    connect(&painter, &QTimer::timeout, this, [&] { ++ticks; });
    painter.start(20);

    CloseCounter closes;
    button.installEventFilter(&closes);

    // The user clicks while the wait is under way, or taps the touch screen.
    QTimer::singleShot(100, this, [&] {
        if (also != Also::TapInstead) {
            queueClick(&button);
            return;
        }
        static QPointingDevice *const touchScreen = QTest::createTouchDevice();
        QTest::touchEvent(&button, touchScreen).press(0, button.rect().center(), &button);
        QTest::touchEvent(&button, touchScreen).release(0, button.rect().center(), &button);
    });
    int answer = 0;
    QTimer::singleShot(150, this, [&] {
        if (also == Also::Close) {
            QWindowSystemInterface::handleCloseEvent<QWindowSystemInterface::AsynchronousDelivery>(
                button.windowHandle());
        } else if (also == Also::AnswerBox) {
            QMessageBox box(QMessageBox::Question, QStringLiteral("Confirmation"), QStringLiteral("Stop?"),
                            QMessageBox::Yes | QMessageBox::No);
            QTimer::singleShot(50, &box, [&box] { queueClick(box.button(QMessageBox::Yes)); });
            // Should the click be held back, the box ends unanswered.
            QTimer::singleShot(3000, &box, [&box] { box.done(0); });
            answer = box.exec();
        }
    });
    closes.during = true;
    wait(web);
    closes.during = false;
    painter.stop();

    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));              // timers (and painting) went on
    QCOMPARE(closes.count, also == Also::Close ? 1 : 0);                   // a close came at once
    QCOMPARE(answer, also == Also::AnswerBox ? int(QMessageBox::Yes) : 0); // the box took its click
    QCOMPARE(clicks, 0);                                                   // the click waited...
    QCoreApplication::processEvents();                                     // ...for the action's next turn
    QCOMPARE(clicks, 1);
    QVERIFY(button.isVisible());
}

QTEST_MAIN(TestInputDeferred)
#include "tst_inputdeferred.moc"
