// While a web transfer or a database call waits, the window keeps painting
// but a click the user makes meanwhile is neither handled nor lost: it is
// handled where the action next processes pending events.
#include "common/webfixture.h"
#include "sp/workerthread.h"

#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <qpa/qwindowsysteminterface.h>

#include <functional>

Q_DECLARE_METATYPE(std::function<void(WebFixture &)>)

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
    QTest::newRow("DownloadToFile") << std::function<void(WebFixture &)>([](WebFixture &web) {
        QCOMPARE(
            web.web().downloadToFile(web.url(QStringLiteral("/slow.bin")), web.path(QStringLiteral("slow.bin"))).code,
            0);
    });
    QTest::newRow("FetchText") << std::function<void(WebFixture &)>(
        [](WebFixture &web) { QCOMPARE(web.web().fetchText(web.url(QStringLiteral("/slow.bin"))).text.size(), 4096); });
    QTest::newRow("database call") << std::function<void(WebFixture &)>([](WebFixture &) {
        WorkerThread worker(QStringLiteral("w"));
        worker.run([] { QThread::msleep(400); });
    });
}

void TestInputDeferred::clickDuringAWait()
{
    QFETCH(std::function<void(WebFixture &)>, wait);
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

    // The user clicks while the wait is under way: the window system queues
    // the press and the release as it would for a real mouse.
    QTimer::singleShot(100, this, [&] {
        QWindow *window = button.windowHandle();
        const QPointF at(75, 20);
        QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
            window, at, window->mapToGlobal(at.toPoint()), Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress);
        QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
            window, at, window->mapToGlobal(at.toPoint()), Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease);
    });
    wait(web);
    painter.stop();

    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks))); // timers (and painting) went on
    QCOMPARE(clicks, 0);                                      // the click waited...
    QCoreApplication::processEvents();                        // ...for the action's next turn
    QCOMPARE(clicks, 1);
}

QTEST_MAIN(TestInputDeferred)
#include "tst_inputdeferred.moc"
