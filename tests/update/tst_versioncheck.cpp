#include "common/recordingprocesses.h"
#include "common/recordingservices.h"
#include "common/testclock.h"
#include "common/webfixture.h"
#include "update/appupdate.h"
#include "update/installfiles.h"

#include <QDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QString kVersionPath = QStringLiteral("/updates/version.txt");
const QString kChecking = QStringLiteral("status:Checking for updates...");

QString question(const QString &remote, const QString &local)
{
    return QStringLiteral("box:question:Update Available:A new version (%1) is available.\r\nYour version: "
                          "%2\r\n\r\nDo you want to update now?")
        .arg(remote, local);
}
} // namespace

Q_DECLARE_METATYPE(OutcomeKind)

class TestVersionCheck : public QObject
{
    Q_OBJECT
private slots:
    void compare_data();
    void compare();
    void missingLocalFileIsCreated();
    void failuresEndInTheTrap_data();
    void failuresEndInTheTrap();
    void everyRequestHasItsOwnAddress();
};

void TestVersionCheck::compare_data()
{
    QTest::addColumn<QByteArray>("local");
    QTest::addColumn<QByteArray>("remote");
    QTest::addColumn<QStringList>("expected");

    auto upToDate = [](const QString &version) {
        return QStringList{QStringLiteral("status:Already up to date."),
                           QStringLiteral("box:info:Updater:You already have the latest version (%1).").arg(version)};
    };
    auto offered = [](const QString &remote, const QString &local) {
        return QStringList{question(remote, local), QStringLiteral("status:Update cancelled.")};
    };
    QTest::newRow("CR LF against LF") << QByteArray("1.2.0\r\n") << QByteArray("1.2.0\n") << upToDate(u"1.2.0"_s);
    QTest::newRow("published with blanks") << QByteArray("1.2.0") << QByteArray(" 1.2.0 \r\n") << upToDate(u"1.2.0"_s);
    // A version.txt written with a lone CR would read back as another
    // version: an update offered at every run. A tab reads back as it is.
    auto refused = [](const QString &code) {
        const QString why = QStringLiteral("The published version.txt holds U+%1 in its version, which version.txt "
                                           "cannot keep as it is.")
                                .arg(code);
        return QStringList{QStringLiteral("status:Error: ") + why,
                           QStringLiteral("box:critical:Updater:An error occurred: ") + why};
    };
    QTest::newRow("published with a tab: another version")
        << QByteArray("1.2.0") << QByteArray("1.2.0\t") << offered(u"1.2.0\t"_s, u"1.2.0"_s);
    QTest::newRow("published ending in a lone CR: refused")
        << QByteArray("1.2.0") << QByteArray("1.3.0\r") << refused(u"000D"_s);
    QTest::newRow("lower published version") << QByteArray("1.10.0\r\n") << QByteArray("1.9.0")
                                             << offered(QStringLiteral("1.9.0"), QStringLiteral("1.10.0"));
    QTest::newRow("case differs") << QByteArray("V1.0") << QByteArray("v1.0")
                                  << offered(QStringLiteral("v1.0"), QStringLiteral("V1.0"));
    QTest::newRow("LF does not end a local line")
        << QByteArray("1.0.0\njunk\r\nignored") << QByteArray("1.0.0junk") << upToDate(QStringLiteral("1.0.0junk"));
    QTest::newRow("lone CR ends a local line") << QByteArray("2.0\rjunk") << QByteArray("2.0") << upToDate(u"2.0"_s);
    QTest::newRow("published lines run together")
        << QByteArray("1.2.01.1.0") << QByteArray("1.2.0\r\n1.1.0") << upToDate(QStringLiteral("1.2.01.1.0"));
    QTest::newRow("empty published text")
        << QByteArray("1.0.0\r\n") << QByteArray("") << offered(QString(), QStringLiteral("1.0.0"));
}

void TestVersionCheck::compare()
{
    QFETCH(QByteArray, local);
    QFETCH(QByteArray, remote);
    QFETCH(QStringList, expected);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(kVersionPath, remote);
    writeBytes(web.appFolder() + QStringLiteral("/version.txt"), local);
    RecordingServices window;
    window.answer({Answer::No});
    TestClock clock;
    RecordingProcesses processes;
    const Endpoints endpoints = web.endpoints();
    AppUpdate(window, web.web(), clock, endpoints, web.appFolder(), processes, InstallFiles::plain()).run();

    const QStringList start{QStringLiteral("cursor:busy"), kChecking, QStringLiteral("events")};
    QCOMPARE(window.log, start + expected + QStringList{QStringLiteral("cursor:default")});
    // The check never touches the local file, nor any process.
    QCOMPARE(readBytes(web.appFolder() + QStringLiteral("/version.txt")), local);
    QCOMPARE(processes.log, QStringList());
}

void TestVersionCheck::missingLocalFileIsCreated()
{
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(kVersionPath, "1.0.0\r\n");
    RecordingServices window;
    TestClock clock;
    RecordingProcesses processes;
    const Endpoints endpoints = web.endpoints();
    AppUpdate(window, web.web(), clock, endpoints, web.appFolder(), processes, InstallFiles::plain()).run();

    const QString path = QDir::toNativeSeparators(web.appFolder() + QStringLiteral("/version.txt"));
    QCOMPARE(window.only({QStringLiteral("status:"), QStringLiteral("box:")}),
             (QStringList{kChecking,
                          QStringLiteral("box:warn:Updater:Local version.txt not found in the application folder!"
                                         "\r\nPlease ensure the file exists at: ")
                              + path,
                          QStringLiteral("status:Missing version.txt"),
                          QStringLiteral("box:info:Updater:version.txt was missing and has been created with "
                                         "default version 1.0.0"),
                          QStringLiteral("status:Already up to date."),
                          QStringLiteral("box:info:Updater:You already have the latest version (1.0.0).")}));
    QCOMPARE(readBytes(path), QByteArray("1.0.0\r\n"));
    QVERIFY(!window.busy());
}

void TestVersionCheck::failuresEndInTheTrap_data()
{
    QTest::addColumn<QByteArray>("local");
    QTest::addColumn<bool>("localIsFolder");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("mentions");
    QTest::addColumn<OutcomeKind>("outcome");
    QTest::newRow("empty local file") << QByteArray("") << false << 0 << QStringLiteral("past end")
                                      << OutcomeKind::Failed;
    QTest::newRow("version.txt is a folder")
        << QByteArray() << true << 0 << QStringLiteral("version.txt") << OutcomeKind::Failed;
    QTest::newRow("published file missing")
        << QByteArray("1.0.0") << false << 404 << QStringLiteral("404") << OutcomeKind::DownloadFailed;
    QTest::newRow("server error") << QByteArray("1.0.0") << false << 500 << QStringLiteral("500")
                                  << OutcomeKind::DownloadFailed;
}

void TestVersionCheck::failuresEndInTheTrap()
{
    QFETCH(QByteArray, local);
    QFETCH(bool, localIsFolder);
    QFETCH(int, status);
    QFETCH(QString, mentions);
    QFETCH(OutcomeKind, outcome);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(kVersionPath, "1.1.0");
    if (status) {
        HttpsFileServer::Fault fault;
        fault.status = status;
        web.server().setFault(kVersionPath, fault);
    }
    const QString path = web.appFolder() + QStringLiteral("/version.txt");
    if (localIsFolder)
        QVERIFY(QDir().mkpath(path));
    else
        writeBytes(path, local);
    RecordingServices window;
    TestClock clock;
    RecordingProcesses processes;
    const Endpoints endpoints = web.endpoints();
    QCOMPARE(
        AppUpdate(window, web.web(), clock, endpoints, web.appFolder(), processes, InstallFiles::plain()).run().kind,
        outcome);

    const QStringList tail = window.log.mid(window.log.size() - 3);
    QVERIFY2(tail.at(0).startsWith(QStringLiteral("status:Error: ")), qPrintable(tail.join(u'\n')));
    const QString description = tail.at(0).mid(QStringLiteral("status:Error: ").size());
    QVERIFY2(description.contains(mentions, Qt::CaseInsensitive), qPrintable(description));
    QCOMPARE(tail.at(1), QStringLiteral("box:critical:Updater:An error occurred: ") + description);
    QCOMPARE(tail.at(2), QStringLiteral("cursor:default"));
    QCOMPARE(window.boxes().size(), localIsFolder ? 2 : 1); // a folder counts as missing: one warning first
}

void TestVersionCheck::everyRequestHasItsOwnAddress()
{
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(kVersionPath, "1.0.0");
    writeBytes(web.appFolder() + QStringLiteral("/version.txt"), "1.0.0");
    RecordingServices window;
    TestClock clock;
    RecordingProcesses processes;
    const Endpoints endpoints = web.endpoints();
    AppUpdate(window, web.web(), clock, endpoints, web.appFolder(), processes, InstallFiles::plain()).run();
    AppUpdate(window, web.web(), clock, endpoints, web.appFolder(), processes, InstallFiles::plain()).run();
    // Each run also asks for the release manifest, with an address of its own.
    const QStringList requests = web.server().requests().filter(QStringLiteral("/updates/version.txt"));
    QCOMPARE(requests.size(), 2);
    QVERIFY(requests.at(0).startsWith(QStringLiteral("/updates/version.txt?t=")));
    QVERIFY(requests.at(1).startsWith(QStringLiteral("/updates/version.txt?t=")));
    QVERIFY(requests.at(0) != requests.at(1));
}

QTEST_GUILESS_MAIN(TestVersionCheck)
#include "tst_versioncheck.moc"
