// The unattended mode as an IT department runs it: the real updater
// program in a scratch installation, without a display, against the local
// HTTPS server and the local PostgreSQL; its exit codes and its log.
#include "common/fileops.h"
#include "common/spfixture.h"
#include "common/standins.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QByteArray kNewBuild = "\nVantora 1.1.0 test build\n";
const QString kScript = u"/updates/LATEST.sql"_s;
const QString kReports = u"/Teldrin/VantoraReports/main/"_s;
} // namespace

class TestUnattended : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void exitCodes_data();
    void exitCodes();
    void linksAreNotWrittenThrough_data();
    void linksAreNotWrittenThrough();
    void logTellsWhatTheBoxesDoNot();

private:
    QString app(const QString &name) const { return m_sp.web->appFolder() + QLatin1Char('/') + name; }
    // Runs the installed updater with the arguments and no display, its
    // output read through a pipe as a deployment agent reads it; its exit
    // code, with its standard output and error in `output`. The pipe ends
    // with the updater: an application it started holds none of it.
    int runUpdater(const QStringList &arguments, QString *output = nullptr);
    void publishScript(const QByteArray &script);

    SpFixture m_sp;
    std::unique_ptr<StandIns> m_standIns;
};

void TestUnattended::initTestCase()
{
    DatabaseFixture::chooseDriver();
}

void TestUnattended::init()
{
    if (!m_sp.start())
        return;
    QVERIFY(QFile::copy(QString::fromUtf8(UPDATER_BINARY), app(u"updater"_s)));
    QVERIFY(QFile::setPermissions(app(u"updater"_s), QFile::permissions(QString::fromUtf8(UPDATER_BINARY))));
    QVERIFY(StandIns::install(app(u"Vantora.exe"_s)));
    QVERIFY(writeBytes(app(u"version.txt"_s), "1.0.0\r\n"));
    QVERIFY(writeBytes(app(u"CONSTR.txt"_s), "127.0.0.1\r\n"));
    m_standIns = std::make_unique<StandIns>(m_sp.web->appFolder());
    WebFixture &web = *m_sp.web;
    web.publish(u"/updates/version.txt"_s, "1.1.0\r\n");
    web.publish(u"/updates/Vantora.exe"_s, StandIns::bytes() + kNewBuild);
    web.publish(kReports + u"filelist.txt"_s, "Fees.rpt\r\nRoll.rpt\r\n");
    web.publish(kReports + u"Fees.rpt"_s, "fees");
    web.publish(kReports + u"Roll.rpt"_s, "roll");
    publishScript("CREATE TABLE %S.t (n int)\r\nGO\r\nINSERT INTO %S.t VALUES (1)\r\n");
}

void TestUnattended::cleanup()
{
    m_standIns.reset();
    m_sp.stop();
}

void TestUnattended::publishScript(const QByteArray &script)
{
    QByteArray text = script;
    text.replace("%S", m_sp.db->schema().toUtf8());
    m_sp.web->publish(kScript, text);
}

int TestUnattended::runUpdater(const QStringList &arguments, QString *output)
{
    QProcess updater;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // No display of any kind: a window could not even start.
    env.remove(u"DISPLAY"_s);
    env.remove(u"WAYLAND_DISPLAY"_s);
    env.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    env.insert(u"UPDATER_UPDATE_HOST"_s, m_sp.web->server().host());
    env.insert(u"UPDATER_REPORT_HOST"_s, m_sp.web->server().host());
    env.insert(u"UPDATER_CA_FILE"_s, m_sp.web->pki().caFile);
    updater.setProcessEnvironment(env);
    updater.start(u"/bin/bash"_s,
                  QStringList{u"-o"_s, u"pipefail"_s, u"-c"_s, u"\"$@\" 2>&1 | cat"_s, u"pipe"_s, app(u"updater"_s)}
                      + arguments);
    // The test's own event loop serves the transfers meanwhile.
    if (!QTest::qWaitFor([&] { return updater.state() == QProcess::NotRunning; }, 60'000))
        return -1;
    if (output)
        *output = QString::fromUtf8(updater.readAllStandardOutput());
    return updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -2;
}

void TestUnattended::exitCodes_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("code");
    QTest::newRow("check: up to date") << "--check"
                                       << "up to date" << 0;
    QTest::newRow("check: update available") << "--check"
                                             << "" << 10;
    QTest::newRow("update app without --yes: declined") << "--update-app"
                                                        << "" << 11;
    QTest::newRow("update app") << "--update-app --yes"
                                << "" << 0;
    QTest::newRow("update app, executable missing (404)") << "--update-app --yes"
                                                          << "404" << 4;
    QTest::newRow("update app, a web filter's page") << "--update-app --yes"
                                                     << "html" << 5;
    QTest::newRow("update app, another updater at work") << "--update-app --yes"
                                                         << "locked" << 3;
    QTest::newRow("reports, all") << "--update-reports --all"
                                  << "" << 0;
    QTest::newRow("reports, one missing on the host") << "--update-reports --all"
                                                      << "missing report" << 4;
    QTest::newRow("script") << "--update-sp --yes"
                            << "" << 0;
    QTest::newRow("script without --yes: declined") << "--update-sp"
                                                    << "" << 11;
    QTest::newRow("script with a failing batch") << "--update-sp --yes"
                                                 << "failing batch" << 7;
    QTest::newRow("script, a batch past --sql-timeout") << "--update-sp --yes --sql-timeout 1"
                                                        << "slow batch" << 7;
    QTest::newRow("script, database unreachable") << "--update-sp --yes"
                                                  << "unreachable" << 8;
    QTest::newRow("usage error") << "--update-app --frobnicate"
                                 << "" << 2;
    QTest::newRow("check, --log that cannot be written: said once, goes on")
        << "--check --log /nonexistent-updater-folder/u.log"
        << "up to date" << 0;
}

void TestUnattended::exitCodes()
{
    QFETCH(QString, arguments);
    QFETCH(QString, setup);
    QFETCH(int, code);
    WebFixture &web = *m_sp.web;
    std::optional<FileOps::FileLock> other;
    if (setup == QLatin1String("up to date"))
        web.publish(u"/updates/version.txt"_s, "1.0.0\r\n");
    else if (setup == QLatin1String("404"))
        web.server().setFault(u"/updates/Vantora.exe"_s, HttpsFileServer::Fault::answering(404));
    else if (setup == QLatin1String("html"))
        web.publish(u"/updates/Vantora.exe"_s, "<html><body>Access blocked</body></html>");
    else if (setup == QLatin1String("locked"))
        QVERIFY(other.emplace(app(u"updater.lock"_s)).state() == FileOps::FileLock::State::Held);
    else if (setup == QLatin1String("missing report"))
        web.publish(kReports + u"filelist.txt"_s, "Fees.rpt\r\nGone.rpt\r\n");
    else if (setup == QLatin1String("failing batch"))
        publishScript("CREATE TABLE %S.t (n int)\r\nGO\r\nINSERT INTO %S.nosuch VALUES (1)\r\n");
    else if (setup == QLatin1String("slow batch"))
        publishScript("CREATE TABLE %S.t (n int)\r\nGO\r\nSELECT pg_sleep(5)\r\n");
    else if (setup == QLatin1String("unreachable"))
        QVERIFY(writeBytes(app(u"CONSTR.txt"_s), "127.0.0.2\r\n"));

    QString output;
    QCOMPARE(runUpdater(arguments.split(u' '), &output), code);
    if (code != 2)
        QVERIFY2(output.contains(u"(exit code %1)"_s.arg(code)), qPrintable(output));
    if (arguments == QLatin1String("--update-app --yes") && code == 0) {
        QCOMPARE(readBytes(app(u"Vantora.exe"_s)), StandIns::bytes() + kNewBuild);
        // The pipe closed while the relaunched application runs on.
        QVERIFY(!m_standIns->running().isEmpty());
    }
    if (arguments.startsWith(QLatin1String("--update-app")) && code != 0)
        QCOMPARE(readBytes(app(u"Vantora.exe"_s)), StandIns::bytes());
    if (arguments == QLatin1String("--update-reports --all") && code == 0)
        QCOMPARE(QDir(app(u"Reports"_s)).entryList(QDir::Files), (QStringList{u"Fees.rpt"_s, u"Roll.rpt"_s}));
    if (arguments.startsWith(QLatin1String("--update-sp")))
        QCOMPARE(m_sp.db->tableExists(u"t"_s), code == 0 || code == 7);
    if (arguments.contains(QLatin1String("/nonexistent-updater-folder/")))
        QCOMPARE(output.count(u"cannot be written"_s), 1);
}

void TestUnattended::linksAreNotWrittenThrough_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("link"); // in the folder, to a file (a folder for Reports and SP) elsewhere
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("box"); // %L: the refusal, which names the link; empty: none
    const QString updater = u"box critical \"Updater\": "_s;
    const QString error = updater + u"An error occurred: %L"_s;
    // clang-format off
    QTest::newRow("updater.log: the check goes on without its log") << "--check" << "updater.log" << 10 << "";
    QTest::newRow("updater.lock") << "--update-app --yes" << "updater.lock" << 1 << updater + u"%L"_s;
    QTest::newRow("version.txt") << "--update-app --yes" << "version.txt" << 1 << error;
    QTest::newRow("Reports") << "--update-reports --all" << "Reports" << 1
                             << u"box critical \"Message LIST \": 75 : %L"_s;
    QTest::newRow("SP") << "--update-sp --yes" << "SP" << 1 << u"box critical \"Message \": 75 : %L"_s;
    QTest::newRow("the part, its note naming this download") << "--update-app --yes" << "Vantora_new.exe.part" << 4
                                                              << updater + u"Failed to download update."_s;
    QTest::newRow("the part's note") << "--update-app --yes" << "Vantora_new.exe.part.info" << 4
                                     << updater + u"Failed to download update."_s;
    QTest::newRow("Vantora.exe") << "--update-app --yes" << "Vantora.exe" << 6 << error;
    QTest::newRow("Vantora_new.exe") << "--update-app --yes" << "Vantora_new.exe" << 6 << error;
    QTest::newRow("Vantora_old.exe") << "--update-app --yes" << "Vantora_old.exe" << 6 << error;
    // clang-format on
}

void TestUnattended::linksAreNotWrittenThrough()
{
    QFETCH(QString, arguments);
    QFETCH(QString, link);
    QFETCH(int, code);
    QFETCH(QString, box);
    // What the link leads to, outside the installation.
    const QByteArray kept = "not the updater's";
    const bool folder = link == QLatin1String("Reports") || link == QLatin1String("SP");
    const QString elsewhere = m_sp.web->path(folder ? u"elsewhere"_s : u"elsewhere.txt"_s);
    const QString inside = folder ? elsewhere + u"/kept.txt"_s : elsewhere;
    QVERIFY(!folder || QDir().mkdir(elsewhere));
    QVERIFY(writeBytes(inside, kept));
    QFile::remove(app(link));
    QVERIFY(QFile::link(elsewhere, app(link)));
    if (link.endsWith(QLatin1String(".part")))
        // Bytes kept by an earlier run, as the next run would go on from.
        QVERIFY(writeBytes(app(link + u".info"_s),
                           "https://" + m_sp.web->server().host().toUtf8() + "/updates/Vantora.exe\n\"v1\"\n"));

    QString output;
    QCOMPARE(runUpdater(arguments.split(u' '), &output), code);
    const QString refusal = FileOps::linkRefused(app(link));
    if (!box.isEmpty())
        QVERIFY2(output.contains(box.replace(u"%L"_s, refusal)), qPrintable(output));
    if (link != QLatin1String("updater.log")) {
        const QString log = QString::fromUtf8(readBytes(app(u"updater.log"_s)));
        QVERIFY2(log.contains(refusal), qPrintable(log));
    }
    // Neither the link nor what it leads to was touched.
    QVERIFY(QFileInfo(app(link)).isSymLink());
    QCOMPARE(QFileInfo(app(link)).symLinkTarget(), elsewhere);
    QCOMPARE(readBytes(inside), kept);
    if (folder)
        QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{u"kept.txt"_s});
}

void TestUnattended::logTellsWhatTheBoxesDoNot()
{
    m_sp.web->server().setFault(u"/updates/Vantora.exe"_s, HttpsFileServer::Fault::answering(404));
    QCOMPARE(runUpdater({u"--update-app"_s, u"--yes"_s}), 4);
    publishScript("CREATE TABLE %S.t (n int)\r\nGO\r\nSELECT * FROM %S.nosuch\r\n");
    QCOMPARE(runUpdater({u"--update-sp"_s, u"--yes"_s, u"--log"_s, app(u"sp.log"_s)}), 7);

    const QString log = QString::fromUtf8(readBytes(app(u"updater.log"_s)));
    // Why the download failed, which the box does not say.
    QVERIFY2(log.contains(u"Vantora.exe: 0 bytes"_s) && log.contains(u"failed with code 404"_s), qPrintable(log));
    QVERIFY(log.contains(u"box: critical \"Updater\": Failed to download update."_s));
    const QString sp = QString::fromUtf8(readBytes(app(u"sp.log"_s)));
    // Which batch failed with which message from the server; never the
    // password.
    QVERIFY2(sp.contains(u"batch: batch 2 of 2: "_s) && sp.contains(u"nosuch"_s), qPrintable(sp));
    QCOMPARE(sp.count(u"] batch: batch "_s), 2); // one line per batch
    QVERIFY(!sp.contains(u"tr5kelvo"_s) && !log.contains(u"tr5kelvo"_s));
    // Every line begins with an ISO 8601 time stamp with its offset.
    for (const QString &line : sp.split(u'\n', Qt::SkipEmptyParts)) {
        QVERIFY2(QDateTime::fromString(line.section(u' ', 0, 0), Qt::ISODateWithMs).isValid(), qPrintable(line));
        QVERIFY2(line.section(u' ', 0, 0).contains(QRegularExpression(u"[+-]\\d\\d:\\d\\d$"_s)), qPrintable(line));
    }
}

QTEST_GUILESS_MAIN(TestUnattended)
#include "tst_unattended.moc"
