// Bad servers during "Update App": whatever goes wrong with the download of
// the new executable, the installation is left exactly as it was and the
// application keeps running.
#include "common/folderprocesscontrol.h"
#include "common/recordingservices.h"
#include "common/standins.h"
#include "common/testclock.h"
#include "common/webfixture.h"
#include "update/appupdate.h"
#include "update/installfiles.h"

#include <QDir>
#include <QTest>

using Fault = HttpsFileServer::Fault;
Q_DECLARE_METATYPE(Fault)

namespace {
const QString kExePath = QStringLiteral("/updates/Vantora.exe");

// One "Update App" click in the fixture's installation, the offered update
// answered as given; what the window saw.
RecordingServices runUpdate(WebFixture &web, Answer answer)
{
    RecordingServices window;
    window.answer({answer});
    TestClock clock;
    FolderProcessControl processes(web.appFolder());
    InstallFiles files;
    const Endpoints endpoints = web.endpoints();
    AppUpdate(window, web.web(), clock, endpoints, web.appFolder(), processes, files).run();
    return window;
}
} // namespace

class TestUpdateFaults : public QObject
{
    Q_OBJECT
private slots:
    void downloadFaultsLoseNothing_data();
    void downloadFaultsLoseNothing();
    void hostilePublishedVersion_data();
    void hostilePublishedVersion();
};

void TestUpdateFaults::downloadFaultsLoseNothing_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<double>("cutAt"); // fraction of the file; < 0: no cut
    QTest::addColumn<bool>("otherHost");

    QTest::newRow("cut at 1 %") << Fault{} << 0.01 << false;
    QTest::newRow("cut at 50 %") << Fault{} << 0.50 << false;
    QTest::newRow("cut at 99 %") << Fault{} << 0.99 << false;
    QTest::newRow("stalled server") << Fault::silentAfterHeaders() << -1.0 << false;
    QTest::newRow("500") << Fault::answering(500) << -1.0 << false;
    QTest::newRow("redirect to http") << Fault::redirect(QStringLiteral("http://127.0.0.1:9/updates/Vantora.exe"))
                                      << -1.0 << false;
    QTest::newRow("certificate for another host") << Fault{} << -1.0 << true;
}

void TestUpdateFaults::downloadFaultsLoseNothing()
{
    QFETCH(Fault, fault);
    QFETCH(double, cutAt);
    QFETCH(bool, otherHost);

    WebFixture web(1'000);
    QVERIFY2(web.ok(), qPrintable(web.error()));
    StandIns standIns(web.appFolder());
    const QString exe = web.appFolder() + QStringLiteral("/Vantora.exe");
    QVERIFY(StandIns::install(exe));
    const QByteArray oldExe = readBytes(exe);
    QVERIFY(writeBytes(web.appFolder() + QStringLiteral("/version.txt"), "1.0.0\r\n"));
    const qint64 running = standIns.start(exe);
    QVERIFY(running > 0);

    const QByteArray published = StandIns::bytes() + QByteArray(1024 * 1024, 'p');
    web.publish(QStringLiteral("/updates/version.txt"), "1.1.0\r\n");
    web.publish(kExePath, published);
    if (cutAt >= 0) {
        fault.dropAfter = static_cast<qint64>(static_cast<double>(published.size()) * cutAt);
        fault.noValidators = true; // nothing to resume from: every attempt is cut
    }
    HttpsFileServer other(web.root(), web.pki().otherCertFile, web.pki().otherKeyFile);
    if (otherHost) {
        QVERIFY(other.listen());
        fault.redirectTo = QStringLiteral("https://%1%2").arg(other.host(), kExePath);
    }
    web.server().setFault(kExePath, fault);

    const RecordingServices window = runUpdate(web, Answer::Yes);

    QCOMPARE(window.only({QStringLiteral("box:critical")}),
             QStringList{QStringLiteral("box:critical:Updater:Failed to download update.")});
    QCOMPARE(window.status(), QStringLiteral("Update failed."));
    QVERIFY(!window.busy());
    QCOMPARE(readBytes(exe), oldExe);
    QCOMPARE(readBytes(web.appFolder() + QStringLiteral("/version.txt")), QByteArray("1.0.0\r\n"));
    QVERIFY(StandIns::isRunning(running));
    // Nothing half-written is left beside the executable.
    QCOMPARE(QDir(web.appFolder()).entryList(QDir::Files | QDir::Hidden),
             (QStringList{QStringLiteral("Vantora.exe"), QStringLiteral("Vantora.exe.log"),
                          QStringLiteral("version.txt")}));
}

void TestUpdateFaults::hostilePublishedVersion_data()
{
    QTest::addColumn<QByteArray>("published");
    QTest::addColumn<QString>("error"); // how the trap's status starts; empty: offered

    QByteArray junk;
    for (int i = 0; i < 4096; ++i)
        junk += char((i * 7919) % 256);
    const QString control = QStringLiteral("Error: The published version.txt holds U+0000 in its version");
    QTest::newRow("100 MB") << QByteArray(100 * 1024 * 1024, '1')
                            << QStringLiteral("Error: The file on the server is larger than expected.");
    QTest::newRow("binary junk") << junk << control;
    QTest::newRow("NUL bytes") << QByteArray("1.1.0\0\0\r\n", 9) << control;
    QTest::newRow("printable junk") << junk.replace('\0', '?').left(64).toBase64() << QString();
}

void TestUpdateFaults::hostilePublishedVersion()
{
    QFETCH(QByteArray, published);
    QFETCH(QString, error);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/updates/version.txt"), published);
    QVERIFY(writeBytes(web.appFolder() + QStringLiteral("/version.txt"), "1.0.0\r\n"));

    const RecordingServices window = runUpdate(web, Answer::No);

    if (error.isEmpty()) {
        // An honest comparison: the text differs, so it is offered, and the
        // user can say No.
        QCOMPARE(window.only({QStringLiteral("box:")}).size(), 1);
        QVERIFY(window.boxes().first().startsWith(QStringLiteral("box:question:Update Available:A new version (")));
        QCOMPARE(window.status(), QStringLiteral("Update cancelled."));
    } else {
        QVERIFY2(window.status().startsWith(error), qPrintable(window.status()));
        QCOMPARE(window.boxes().size(), 1);
    }
    QVERIFY(!window.busy());
    QCOMPARE(readBytes(web.appFolder() + QStringLiteral("/version.txt")), QByteArray("1.0.0\r\n"));
}

QTEST_GUILESS_MAIN(TestUpdateFaults)
#include "tst_updatefaults.moc"
