#include "common/failure.h"
#include "common/recordingservices.h"
#include "common/testclock.h"
#include "common/webfixture.h"
#include "update/downloadprogress.h"

#include <QFileInfo>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
const QString kPath = QStringLiteral("/updates/Vantora.exe");
const QByteArray kContent = QByteArray(200'000, 'x');

// The records up to the end of the animation.
QStringList animation()
{
    QStringList log{QStringLiteral("status:Starting download..."), QStringLiteral("range:0..100"),
                    QStringLiteral("value:0"), QStringLiteral("events")};
    for (int i = 1; i <= 40; ++i)
        log << QStringLiteral("events") << QStringLiteral("value:%1").arg(i);
    return log;
}

// A window whose progress bar fails at one value.
class BrokenBar : public RecordingServices
{
public:
    void setProgressValue(int value) override
    {
        RecordingServices::setProgressValue(value);
        if (value == 20)
            throw Failure{380, QStringLiteral("Invalid property value")};
    }
};
} // namespace

class TestDownloadProgress : public QObject
{
    Q_OBJECT
private slots:
    void download_data();
    void download();
    void barFollowsTheBytes_data();
    void barFollowsTheBytes();
    void failureInsideIsReportedNotThrown();
};

void TestDownloadProgress::download_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("requests");
    QTest::newRow("reachable") << 0 << "Vantora_new.exe" << true << 1;
    QTest::newRow("refused (404): not tried again") << 404 << "Vantora_new.exe" << false << 1;
    QTest::newRow("server error (500): tried 3 more times") << 500 << "Vantora_new.exe" << false << 4;
    QTest::newRow("folder missing") << 0 << "missing/Vantora_new.exe" << false << 0;
}

void TestDownloadProgress::download()
{
    QFETCH(int, status);
    QFETCH(QString, target);
    QFETCH(bool, ok);
    QFETCH(int, requests);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(kPath, kContent);
    if (status) {
        HttpsFileServer::Fault fault;
        fault.status = status;
        web.server().setFault(kPath, fault);
    }
    RecordingServices window;
    TestClock clock;
    // The clock's sleeps fall between the bar's steps.
    clock.onSleep = [&] { window.log << QStringLiteral("sleep"); };
    const QString localPath = web.appFolder() + QLatin1Char('/') + target;

    QCOMPARE(DownloadWithProgress(window, web.web(), clock, web.url(kPath), localPath).kind == OutcomeKind::Done, ok);

    QStringList expected = animation();
    for (int i = 40; i >= 1; --i)
        expected.insert(expected.indexOf(QStringLiteral("value:%1").arg(i)) + 1, QStringLiteral("sleep"));
    expected << (ok ? QStringList{QStringLiteral("value:100"), QStringLiteral("status:Download complete.")}
                    : QStringList{QStringLiteral("status:Download failed.")});
    QCOMPARE(withoutDownloadProgress(window.log), expected);
    QCOMPARE(clock.sleeps, QList<int>(40, 20));
    QCOMPARE(web.server().requests().size(), requests);
    QCOMPARE(readBytes(localPath), ok ? kContent : QByteArray());
}

void TestDownloadProgress::barFollowsTheBytes_data()
{
    QTest::addColumn<bool>("sizeKnown");
    QTest::newRow("size announced: 40 towards 100") << true;
    QTest::newRow("size unknown: the bar stays at 40") << false;
}

void TestDownloadProgress::barFollowsTheBytes()
{
    QFETCH(bool, sizeKnown);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(kPath, QByteArray(40 * 1024, 'b'));
    HttpsFileServer::Fault slow;
    slow.trickleBytes = 2 * 1024;
    slow.trickleIntervalMs = 30; // 20 pieces over about 0.6 s
    slow.chunked = !sizeKnown;
    web.server().setFault(kPath, slow);
    RecordingServices window;
    TestClock clock;

    QCOMPARE(
        DownloadWithProgress(window, web.web(), clock, web.url(kPath), web.appFolder() + u"/Vantora_new.exe"_s).kind,
        OutcomeKind::Done);

    const QList<int> values = window.values();
    const QList<int> afterAnimation = values.mid(values.indexOf(40) + 1);
    QCOMPARE(afterAnimation.last(), 100);
    const QList<int> moves = afterAnimation.mid(0, afterAnimation.size() - 1);
    if (sizeKnown) {
        QVERIFY2(moves.size() >= 3, qPrintable(window.log.join(u' ')));
        QVERIFY(std::is_sorted(moves.begin(), moves.end()));
        QVERIFY(moves.first() > 40 && moves.last() < 100);
    } else {
        QCOMPARE(moves, QList<int>{});
    }
}

void TestDownloadProgress::failureInsideIsReportedNotThrown()
{
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(kPath, kContent);
    BrokenBar window;
    TestClock clock;
    const QString localPath = web.appFolder() + QStringLiteral("/Vantora_new.exe");

    QCOMPARE(DownloadWithProgress(window, web.web(), clock, web.url(kPath), localPath).kind, OutcomeKind::Failed);

    QCOMPARE(window.log.mid(window.log.size() - 2),
             (QStringList{QStringLiteral("value:20"),
                          QStringLiteral("status:Download error: Invalid property value")}));
    QVERIFY(web.server().requests().isEmpty());
    QVERIFY(!QFileInfo::exists(localPath));
}

QTEST_GUILESS_MAIN(TestDownloadProgress)
#include "tst_downloadprogress.moc"
