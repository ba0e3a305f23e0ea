#include "common/failure.h"
#include "common/recordingservices.h"
#include "common/testclock.h"
#include "common/webfixture.h"
#include "update/downloadprogress.h"

#include <QFileInfo>
#include <QTest>

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
    void failureInsideIsReportedNotThrown();
};

void TestDownloadProgress::download_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("ok");
    QTest::newRow("reachable") << 0 << "Vantora_new.exe" << true;
    QTest::newRow("refused (404)") << 404 << "Vantora_new.exe" << false;
    QTest::newRow("server error (500)") << 500 << "Vantora_new.exe" << false;
    QTest::newRow("folder missing") << 0 << "missing/Vantora_new.exe" << false;
}

void TestDownloadProgress::download()
{
    QFETCH(int, status);
    QFETCH(QString, target);
    QFETCH(bool, ok);
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

    QCOMPARE(DownloadWithProgress(window, web.web(), clock, web.url(kPath), localPath), ok);

    QStringList expected = animation();
    for (int i = 40; i >= 1; --i)
        expected.insert(expected.indexOf(QStringLiteral("value:%1").arg(i)) + 1, QStringLiteral("sleep"));
    expected << (ok ? QStringList{QStringLiteral("value:100"), QStringLiteral("status:Download complete.")}
                    : QStringList{QStringLiteral("status:Download failed.")});
    QCOMPARE(window.log, expected);
    QCOMPARE(clock.sleeps, QList<int>(40, 20));
    QCOMPARE(web.server().requests().size(), target.contains(QLatin1Char('/')) ? 0 : 1);
    QCOMPARE(readBytes(localPath), ok ? kContent : QByteArray());
}

void TestDownloadProgress::failureInsideIsReportedNotThrown()
{
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(kPath, kContent);
    BrokenBar window;
    TestClock clock;
    const QString localPath = web.appFolder() + QStringLiteral("/Vantora_new.exe");

    QVERIFY(!DownloadWithProgress(window, web.web(), clock, web.url(kPath), localPath));

    QCOMPARE(window.log.mid(window.log.size() - 2),
             (QStringList{QStringLiteral("value:20"),
                          QStringLiteral("status:Download error: Invalid property value")}));
    QVERIFY(web.server().requests().isEmpty());
    QVERIFY(!QFileInfo::exists(localPath));
}

QTEST_GUILESS_MAIN(TestDownloadProgress)
#include "tst_downloadprogress.moc"
