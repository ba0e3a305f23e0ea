// The database's worker thread: jobs run on it, one at a time, in order;
// what a job throws reaches the caller; while a long job runs the caller's
// timers (and so the window's painting) go on, and user input waits.
#include "sp/workerthread.h"

#include <QTest>
#include <QThread>
#include <QTimer>

#include <stdexcept>

class TestWorkerThread : public QObject
{
    Q_OBJECT
private slots:
    void jobsRunOnTheWorkerInOrder();
    void failuresReachTheCaller();
    void longJobKeepsTheCallerResponsive();
};

void TestWorkerThread::jobsRunOnTheWorkerInOrder()
{
    WorkerThread worker(QStringLiteral("test worker"));
    QList<int> order;
    QThread *ran = nullptr;
    for (int i = 0; i < 1000; ++i)
        worker.run([&, i] {
            order << i;
            ran = QThread::currentThread();
        });
    QCOMPARE(order.size(), 1000);
    QCOMPARE(order.last(), 999);
    QVERIFY(std::is_sorted(order.begin(), order.end()));
    QVERIFY(ran && ran != QThread::currentThread());
    QCOMPARE(ran->objectName(), QStringLiteral("test worker"));
}

void TestWorkerThread::failuresReachTheCaller()
{
    WorkerThread worker(QStringLiteral("w"));
    try {
        worker.run([] { throw std::runtime_error("batch failed"); });
        QFAIL("the failure was lost");
    } catch (const std::runtime_error &error) {
        QCOMPARE(QByteArray(error.what()), QByteArray("batch failed"));
    }
    // The next job runs as usual.
    bool ran = false;
    worker.run([&] { ran = true; });
    QVERIFY(ran);
}

void TestWorkerThread::longJobKeepsTheCallerResponsive()
{
    WorkerThread worker(QStringLiteral("w"));
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
    timer.start(10);
    worker.run([] { QThread::msleep(300); });
    timer.stop();
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
}

QTEST_GUILESS_MAIN(TestWorkerThread)
#include "tst_workerthread.moc"
