// The unattended mode as an IT department runs it: the real updater
// program in a scratch installation, without a display, against the local
// HTTPS server and the local PostgreSQL; its exit codes and its log.
#include "common/fileops.h"
#include "common/spfixture.h"
#include "common/standins.h"
#include "sp/runlock.h"
#include "update/installationstatus.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QTemporaryDir>
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
    void onceAcrossDesks_data();
    void onceAcrossDesks();
    void sqliteHasNoLockButAJournal();
    void fullDisk_data();
    void fullDisk();
    void killedDuringProbation_data();
    void killedDuringProbation();

private:
    QString app(const QString &name) const { return m_sp.web->appFolder() + QLatin1Char('/') + name; }
    // Runs the installed updater with the arguments and no display, its
    // output read through a pipe as a deployment agent reads it; its exit
    // code, with its standard output and error in `output`. The pipe ends
    // with the updater: an application it started holds none of it.
    int runUpdater(const QStringList &arguments, QString *output = nullptr);
    // Starts the updater of `folder` with the arguments, its output
    // merged; the caller waits for it.
    void startUpdater(QProcess &updater, const QString &folder, const QStringList &arguments);
    void publishScript(const QByteArray &script);

    SpFixture m_sp;
    std::unique_ptr<StandIns> m_standIns;
    // The school's share the desks leave their status on.
    std::unique_ptr<QTemporaryDir> m_share;
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
    m_share = std::make_unique<QTemporaryDir>();
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

void TestUnattended::startUpdater(QProcess &updater, const QString &folder, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(u"DISPLAY"_s);
    env.remove(u"WAYLAND_DISPLAY"_s);
    env.insert(u"UPDATER_UPDATE_HOST"_s, m_sp.web->server().host());
    env.insert(u"UPDATER_CA_FILE"_s, m_sp.web->pki().caFile);
    updater.setProcessEnvironment(env);
    updater.setProcessChannelMode(QProcess::MergedChannels);
    updater.start(folder + u"/updater"_s, arguments);
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
    env.insert(u"UPDATER_STATUS_DIR"_s, m_share->path());
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
    QTest::newRow("update app") << "--update-app --yes --probation 1"
                                << "" << 0;
    QTest::newRow("update app, the new program crashes: taken back") << "--update-app --yes --probation 1"
                                                                     << "crashes" << 16;
    QTest::newRow("update app, executable missing (404)") << "--update-app --yes"
                                                          << "404" << 4;
    QTest::newRow("update app, a web filter's page") << "--update-app --yes"
                                                     << "html" << 5;
    QTest::newRow("check: a 0 % rollout holds this desk back") << "--check"
                                                               << "rollout 0" << 0;
    QTest::newRow("update app, not the bytes the manifest lists") << "--update-app --yes"
                                                                  << "spliced" << 5;
    QTest::newRow("update app, another updater at work") << "--update-app --yes"
                                                         << "locked" << 3;
    QTest::newRow("reports, all") << "--update-reports --all"
                                  << "" << 0;
    QTest::newRow("reports, one missing on the host") << "--update-reports --all"
                                                      << "missing report" << 4;
    // Two rows show "Fees.rpt": the control character in one catalogue
    // name is no part of it, so both fetch the name shown.
    QTest::newRow("reports by name, a control character dropped") << "--update-reports Fees.rpt Roll.rpt"
                                                                  << "refused name" << 0;
    QTest::newRow("script") << "--update-sp --yes"
                            << "" << 0;
    QTest::newRow("script without --yes: declined") << "--update-sp"
                                                    << "" << 11;
    QTest::newRow("script with a failing batch") << "--update-sp --yes"
                                                 << "failing batch" << 7;
    QTest::newRow("script, a batch past --sql-timeout") << "--update-sp --yes --sql-timeout 1"
                                                        << "slow batch" << 7;
    QTest::newRow("script cut short without a length: never run") << "--update-sp --yes"
                                                                  << "script cut" << 4;
    QTest::newRow("script, database unreachable") << "--update-sp --yes"
                                                  << "unreachable" << 8;
    QTest::newRow("usage error") << "--update-app --frobnicate"
                                 << "" << 2;
    QTest::newRow("check, a status share that cannot be written: a line in the log, goes on")
        << "--check"
        << "read-only share" << 10;
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
    else if (setup == QLatin1String("rollout 0") || setup == QLatin1String("spliced"))
        web.publish(u"/updates/release.json"_s,
                    R"({"serial": 5, "version": "1.1.0", "signed": "2026-01-01T00:00:00Z",
                        "expires": "2026-01-15T00:00:00Z", "rollout": {"percent": )"
                        + QByteArray(setup == QLatin1String("spliced") ? "100" : "0")
                        + R"(}, "files": {"Vantora.exe": {"size": 1, "sha256": ")" + QByteArray(64, '0') + R"("}}})");
    else if (setup == QLatin1String("crashes"))
        web.publish(u"/updates/Vantora.exe"_s, "#!/bin/sh\nkill -SEGV $$\n");
    else if (setup == QLatin1String("locked"))
        QVERIFY(other.emplace(app(u"updater.lock"_s)).state() == FileOps::FileLock::State::Held);
    else if (setup == QLatin1String("missing report"))
        web.publish(kReports + u"filelist.txt"_s, "Fees.rpt\r\nGone.rpt\r\n");
    else if (setup == QLatin1String("refused name"))
        web.publish(kReports + u"filelist.txt"_s,
                    "Fe\x01"
                    "es.rpt\r\nRoll.rpt\r\nFees.rpt\r\n");
    else if (setup == QLatin1String("failing batch"))
        publishScript("CREATE TABLE %S.t (n int)\r\nGO\r\nINSERT INTO %S.nosuch VALUES (1)\r\n");
    else if (setup == QLatin1String("slow batch"))
        publishScript("CREATE TABLE %S.t (n int)\r\nGO\r\nSELECT pg_sleep(5)\r\n");
    else if (setup == QLatin1String("script cut")) {
        // Cut where the second batch reads "DELETE FROM %S.t".
        QByteArray head = "CREATE TABLE %S.t (n int)\r\nGO\r\nDELETE FROM %S.t";
        publishScript(head + " WHERE n = 5\r\n");
        HttpsFileServer::Fault cut
            = HttpsFileServer::Fault::droppedAfter(head.replace("%S", m_sp.db->schema().toUtf8()).size());
        cut.noLength = true;
        web.server().setFault(kScript, cut);
    } else if (setup == QLatin1String("unreachable"))
        QVERIFY(writeBytes(app(u"CONSTR.txt"_s), "127.0.0.2\r\n"));
    // Root ignores file modes: a read-only bind mount is a share the desk
    // may not write.
    const bool readOnlyShare = setup == QLatin1String("read-only share");
    const auto unmount = qScopeGuard([&] {
        if (readOnlyShare)
            QProcess::execute(u"umount"_s, {m_share->path()});
    });
    if (readOnlyShare) {
        QCOMPARE(QProcess::execute(u"mount"_s, {u"--bind"_s, m_share->path(), m_share->path()}), 0);
        QCOMPARE(QProcess::execute(u"mount"_s, {u"-o"_s, u"remount,ro,bind"_s, m_share->path()}), 0);
    }

    QString output;
    const int ended = runUpdater(arguments.split(u' '), &output);
    QVERIFY2(ended == code, qPrintable(u"exit code %1: "_s.arg(ended) + output));
    // Each installation's last run on the share, as the log's last line
    // says it; nothing for a command line that ran nothing.
    const QStringList statusFiles = QDir(m_share->path()).entryList({u"*.json"_s}, QDir::Files);
    QCOMPARE(statusFiles.size(), code == 2 || readOnlyShare ? 0 : 1);
    if (readOnlyShare) {
        const QString log = QString::fromUtf8(readBytes(app(u"updater.log"_s)));
        QVERIFY2(log.contains(u"status: the status file cannot be written: "_s), qPrintable(log));
    } else if (code != 2) {
        const QByteArray json = readBytes(m_share->filePath(statusFiles.first()));
        QString why;
        const std::optional<InstallationStatus> status = InstallationStatus::fromJson(json, &why);
        QVERIFY2(status, qPrintable(why));
        QCOMPARE(status->exitCode, code);
        QVERIFY2(output.contains(u"result: "_s + status->outcome), qPrintable(status->outcome));
        QCOMPARE(status->installedVersion, QString::fromLatin1(readBytes(app(u"version.txt"_s)).trimmed()));
        QCOMPARE(status->action, arguments.section(u' ', 0, 0).mid(2));
        QCOMPARE(status->held.isEmpty(), setup != QLatin1String("rollout 0"));
        // Named after the computer and the identity the rollout keeps.
        const QByteArray identity = statusFiles.first().right(13).left(8).toLatin1();
        QVERIFY2(readBytes(app(u"updater.state"_s)).contains("identity=" + identity), qPrintable(statusFiles.first()));
        QVERIFY(!json.contains("tr5kelvo") && !json.contains("PWD="));
    }
    if (code != 2)
        QVERIFY2(output.contains(u"(exit code %1)"_s.arg(code)), qPrintable(output));
    if (arguments == QLatin1String("--update-app --yes --probation 1") && code == 0) {
        QCOMPARE(readBytes(app(u"Vantora.exe"_s)), StandIns::bytes() + kNewBuild);
        // The pipe closed while the relaunched application runs on.
        QVERIFY(!m_standIns->running().isEmpty());
    }
    if (arguments.startsWith(QLatin1String("--update-app")) && code != 0)
        QCOMPARE(readBytes(app(u"Vantora.exe"_s)), StandIns::bytes());
    if (arguments == QLatin1String("--update-reports --all") && code == 0)
        QCOMPARE(QDir(app(u"Reports"_s)).entryList(QDir::Files), (QStringList{u"Fees.rpt"_s, u"Roll.rpt"_s}));
    if (setup == QLatin1String("refused name")) {
        // Both rows fetch the name they show; nothing is refused.
        QCOMPARE(QDir(app(u"Reports"_s)).entryList(QDir::Files), (QStringList{u"Fees.rpt"_s, u"Roll.rpt"_s}));
        QVERIFY(!QString::fromUtf8(readBytes(app(u"updater.log"_s))).contains(u"is not downloaded"_s));
    }
    if (arguments.startsWith(QLatin1String("--update-sp")))
        QCOMPARE(m_sp.db->tableExists(u"t"_s), code == 0 || code == 7);
    if (setup == QLatin1String("script cut"))
        QVERIFY(!QFile::exists(app(u"SP/LATEST.sql"_s)));
    if (setup == QLatin1String("rollout 0"))
        QVERIFY2(output.contains(u"not updated yet: 1.1.0 is released to 0 % of the desks so far"_s),
                 qPrintable(output));
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
    const int ended = runUpdater(arguments.split(u' '), &output);
    QVERIFY2(ended == code, qPrintable(u"exit code %1: "_s.arg(ended) + output));
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

void TestUnattended::onceAcrossDesks_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("first");       // what happened before the desk under test runs
    QTest::addColumn<QString>("arguments");   // after --update-sp --yes
    QTest::addColumn<int>("code");            // the desk under test's exit code
    QTest::addColumn<QString>("says");        // in its output or its log
    QTest::addColumn<int>("rows");            // in t at the end; -1: there is no t
    QTest::addColumn<QStringList>("journal"); // the outcomes, oldest first
    const QByteArray seed = "CREATE TABLE IF NOT EXISTS %S.t (n int)\r\nGO\r\nINSERT INTO %S.t VALUES (1)\r\n";
    const QByteArray slow = "CREATE TABLE IF NOT EXISTS %S.t (n int)\r\nGO\r\nSELECT pg_sleep(3)\r\nGO\r\n"
                            "INSERT INTO %S.t VALUES (1)\r\n";
    const QString succeeded = u"succeeded"_s;
    QTest::newRow("applied: the next desk skips it") << seed << "ran"
                                                     << "" << 0 << "already applied on " << 1 << QStringList{succeeded};
    QTest::newRow("applied, --force: run again") << seed << "ran"
                                                 << "--force" << 0 << "" << 2 << QStringList{succeeded, succeeded};
    QTest::newRow("failed: the next desk does not retry it")
        << seed + "GO\r\nINSERT INTO %S.nosuch VALUES (1)\r\n"
        << "ran"
        << "" << 7 << "; run it again with --force once the cause is mended" << 1 << QStringList{u"failed"_s};
    QTest::newRow("two desks at once: one runs it, the other waits and skips")
        << slow << "at once"
        << "" << 0 << "Waiting for another desk to finish the script..." << 1 << QStringList{succeeded};
    QTest::newRow("killed mid-script: the next desk refuses, naming it")
        << slow << "killed"
        << "" << 15 << "did not end; whether it ran is not known" << 0 << QStringList{u"started"_s};
    QTest::newRow("the journal's connection ended mid-run: the end is recorded, the next desk skips")
        << slow << "journal killed"
        << "" << 0 << "already applied on " << 1 << QStringList{succeeded};
    QTest::newRow("an idle timeout on the login: the end is recorded, the next desk skips")
        << slow << "idle timeout"
        << "" << 0 << "already applied on " << 1 << QStringList{succeeded};
    QTest::newRow("the end cannot be written: 14")
        << seed + "GO\r\nREVOKE UPDATE ON %S.updater_journal FROM sa\r\n"
        << ""
        << "" << 14 << "the journal is out of step with what ran" << 1 << QStringList{u"started"_s};
    QTest::newRow("two spellings of one schema at once: one runs it, the other waits and skips")
        << slow << "at once, two spellings"
        << "" << 0 << "Waiting for another desk to finish the script..." << 1 << QStringList{succeeded};
    QTest::newRow("another desk holds the lock past the wait")
        << seed << "lock held"
        << "--lock-wait 1" << 13 << "another desk is running the script" << -1 << QStringList{};
    QTest::newRow("no right to make the journal: not run")
        << QByteArray("INSERT INTO %S.t VALUES (1)\r\n") << "no rights"
        << "" << 15 << "LATEST.sql was not run: this run could not be kept the database's only one" << 0
        << QStringList{};
    QTest::newRow("no right to make the journal, --force: runs, the log says so")
        << QByteArray("INSERT INTO %S.t VALUES (1)\r\n") << "no rights"
        << "--force" << 0 << "not guaranteed: the script runs without a journal row" << 1 << QStringList{};
    QTest::newRow("the journal's schema missing: not run")
        << seed << "no schema"
        << "" << 15 << "(UPDATER_JOURNAL_SCHEMA) does not exist in the database" << -1 << QStringList{};
}

void TestUnattended::onceAcrossDesks()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, first);
    QFETCH(QString, arguments);
    QFETCH(int, code);
    QFETCH(QString, says);
    QFETCH(int, rows);
    QFETCH(QStringList, journal);
    const QString schema = m_sp.db->schema();
    publishScript(script);
    // A second desk: another installation on the same database.
    const QString desk2 = m_sp.web->path(u"desk2"_s);
    QVERIFY(QDir().mkdir(desk2));
    QVERIFY(QFile::copy(app(u"updater"_s), desk2 + u"/updater"_s));
    QVERIFY(QFile::setPermissions(desk2 + u"/updater"_s, QFile::permissions(app(u"updater"_s))));
    QVERIFY(writeBytes(desk2 + u"/CONSTR.txt"_s, "127.0.0.1\r\n"));
    const QStringList run{u"--update-sp"_s, u"--yes"_s};
    auto ended = [](QProcess &process) {
        return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60'000);
    };
    QString output;
    int result = -1;
    const QString lockKey = QString::number(RunLock::advisoryKey(RunLock::name(schema)));
    if (first == QLatin1String("ran")) {
        QProcess other;
        startUpdater(other, desk2, run);
        QVERIFY(ended(other));
    } else if (first == QLatin1String("killed")) {
        // Killed while batch 2 runs, once batch 1 has made t.
        QProcess other;
        startUpdater(other, desk2, run);
        QVERIFY(QTest::qWaitFor([&] { return m_sp.db->tableExists(u"t"_s); }, 30'000));
        other.kill();
        QVERIFY(ended(other));
    } else if (first == QLatin1String("journal killed") || first == QLatin1String("idle timeout")) {
        // The journal's own connection ends while batch 2 runs: ended by a
        // DBA, or by the server once idle for two seconds.
        if (first == QLatin1String("idle timeout"))
            qputenv("PGOPTIONS", "-c idle_session_timeout=2000");
        QProcess other;
        startUpdater(other, desk2, run);
        qunsetenv("PGOPTIONS");
        QVERIFY(QTest::qWaitFor([&] { return m_sp.db->tableExists(u"t"_s); }, 30'000));
        if (first == QLatin1String("journal killed")) {
            QCOMPARE(m_sp.db->values(u"SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE pid <> "
                                     "pg_backend_pid() AND query LIKE '%%1.updater_journal%'"_s.arg(schema)),
                     QStringList{u"1"_s});
        }
        QVERIFY(ended(other));
        QCOMPARE(other.exitCode(), 0);
    } else if (first == QLatin1String("lock held")) {
        QCOMPARE(m_sp.db->values(u"SELECT pg_advisory_lock(%1)::text"_s.arg(lockKey)), QStringList{QString()});
    } else if (first == QLatin1String("no rights")) {
        m_sp.db->values(u"CREATE TABLE %1.t (n int)"_s.arg(schema));
        m_sp.db->values(u"REVOKE CREATE ON SCHEMA %1 FROM sa"_s.arg(schema));
    } else if (first == QLatin1String("no schema")) {
        qputenv("UPDATER_JOURNAL_SCHEMA", "nosuch_" + schema.toUtf8());
    }
    if (first.startsWith(QLatin1String("at once"))) {
        QProcess one;
        QProcess two;
        // The server folds an unquoted name to lower case: one table.
        if (first.endsWith(QLatin1String("two spellings")))
            qputenv("UPDATER_JOURNAL_SCHEMA", schema.toUpper().toUtf8());
        startUpdater(one, desk2, run);
        qputenv("UPDATER_JOURNAL_SCHEMA", schema.toUtf8());
        startUpdater(two, m_sp.web->appFolder(), run);
        QVERIFY(ended(one) && ended(two));
        const QString outputs[] = {QString::fromUtf8(one.readAll()), QString::fromUtf8(two.readAll())};
        QCOMPARE(one.exitCode(), 0);
        QCOMPARE(two.exitCode(), 0);
        // Exactly one of them ran the script.
        const int skipped
            = int(outputs[0].contains(u"already applied on "_s)) + int(outputs[1].contains(u"already applied on "_s));
        QCOMPARE(skipped, 1);
        output = outputs[0].contains(u"already applied on "_s) ? outputs[0] : outputs[1];
        result = 0;
    } else {
        QProcess desk;
        startUpdater(desk, m_sp.web->appFolder(), run + (arguments.isEmpty() ? QStringList{} : arguments.split(u' ')));
        qputenv("UPDATER_JOURNAL_SCHEMA", schema.toUtf8());
        QVERIFY(ended(desk));
        output = QString::fromUtf8(desk.readAll());
        result = desk.exitCode();
    }
    if (first == QLatin1String("lock held"))
        m_sp.db->values(u"SELECT pg_advisory_unlock(%1)"_s.arg(lockKey));
    QCOMPARE(result, code);
    const QString log = QString::fromUtf8(readBytes(app(u"updater.log"_s)));
    QVERIFY2(output.contains(says) || log.contains(says), qPrintable(output + log));

    const QStringList inT = m_sp.db->values(u"SELECT count(*) FROM %1.t"_s.arg(schema));
    QCOMPARE(inT, rows < 0 ? inT.filter(u"error"_s) : QStringList{QString::number(rows)});
    QStringList outcomes;
    if (m_sp.db->tableExists(u"updater_journal"_s))
        outcomes = m_sp.db->values(u"SELECT outcome FROM %1.updater_journal ORDER BY started_at"_s.arg(schema));
    QCOMPARE(outcomes, journal);
    if (!journal.isEmpty()) {
        // The row names the script by its digest and size, the desk and the user.
        const QByteArray published = readBytes(app(u"SP/LATEST.sql"_s));
        const QStringList row = m_sp.db->values(
            u"SELECT script_sha256 || ' ' || script_bytes || ' ' || (desk <> '') || ' ' || (os_user <> '') || ' ' || "
            "(release_serial IS NULL) FROM %1.updater_journal LIMIT 1"_s.arg(schema));
        QCOMPARE(row,
                 QStringList{
                     QString::fromLatin1(QCryptographicHash::hash(published, QCryptographicHash::Sha256).toHex())
                     + u" %1 true true true"_s.arg(published.size())});
    }
}

void TestUnattended::sqliteHasNoLockButAJournal()
{
    // The demo's embedded database, the file Quorvel in the working folder.
    publishScript("CREATE TABLE IF NOT EXISTS seed (n int)\r\nGO\r\nINSERT INTO seed VALUES (1)\r\n");
    const QByteArray schema = qgetenv("UPDATER_JOURNAL_SCHEMA");
    qunsetenv("UPDATER_JOURNAL_SCHEMA");
    const QByteArray driver = qgetenv("UPDATER_ODBC_DRIVER");
    qputenv("UPDATER_ODBC_DRIVER", "SQLite3");
    const auto restore = qScopeGuard([&] {
        qputenv("UPDATER_JOURNAL_SCHEMA", schema);
        qputenv("UPDATER_ODBC_DRIVER", driver);
    });
    QStringList outputs;
    QList<int> codes;
    for (int run = 0; run < 2; ++run) {
        QProcess desk;
        desk.setWorkingDirectory(m_sp.web->appFolder());
        startUpdater(desk, m_sp.web->appFolder(), {u"--update-sp"_s, u"--yes"_s});
        QVERIFY(QTest::qWaitFor([&] { return desk.state() == QProcess::NotRunning; }, 60'000));
        codes << desk.exitCode();
        outputs << QString::fromUtf8(desk.readAll());
    }
    QCOMPARE(codes, (QList<int>{0, 0}));
    QVERIFY2(outputs.at(0).contains(u"SQL Script Execution Completed Successfully!"_s), qPrintable(outputs.at(0)));
    QVERIFY2(outputs.at(1).contains(u"already applied on "_s), qPrintable(outputs.at(1)));
    const QString log = QString::fromUtf8(readBytes(app(u"updater.log"_s)));
    QCOMPARE(log.count(u"note: no lock: the server (SQLite)"_s), 2);
    QVERIFY(QFileInfo(app(u"Quorvel"_s)).isFile());
}

void TestUnattended::fullDisk_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<qint64>("freeBytes"); // left free on the folder's volume
    // 1 MiB to download each time; version.txt needs one page more than
    // the download leaves.
    QTest::newRow("update app, the download fills the disk") << "--update-app --yes" << qint64{64 * 1024};
    QTest::newRow("update app, version.txt fills the disk") << "--update-app --yes" << qint64{1024 * 1024};
    QTest::newRow("reports, the download fills the disk") << "--update-reports --all" << qint64{64 * 1024};
    QTest::newRow("script, the download fills the disk") << "--update-sp --yes" << qint64{64 * 1024};
}

void TestUnattended::fullDisk()
{
    QFETCH(QString, arguments);
    QFETCH(qint64, freeBytes);
    // The installation moves onto a small volume of its own.
    const QString folder = m_sp.web->appFolder();
    const QString aside = m_sp.web->path(u"aside"_s);
    QVERIFY(QDir(folder).rename(folder, aside));
    QVERIFY(QDir().mkpath(folder));
    QProcess mount;
    mount.start(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=48m"_s, u"tmpfs"_s, folder});
    if (!mount.waitForFinished() || mount.exitCode() != 0) {
        QDir().rmdir(folder);
        QDir().rename(aside, folder);
        QSKIP("a small tmpfs cannot be mounted here (the test needs root)");
    }
    const auto unmount = qScopeGuard([&] { QProcess::execute(u"umount"_s, {u"-l"_s, folder}); });
    for (const QString &name : QDir(aside).entryList(QDir::Files))
        QVERIFY(QFile::copy(aside + u'/' + name, app(name)));
    QVERIFY(QFile::setPermissions(app(u"updater"_s), QFile::permissions(aside + u"/updater"_s)));
    // The published files: 1 MiB each.
    const QByteArray program = StandIns::bytes() + kNewBuild;
    m_sp.web->publish(u"/updates/Vantora.exe"_s, program + QByteArray(1024 * 1024 - program.size(), '\n'));
    m_sp.web->publish(kReports + u"Fees.rpt"_s, QByteArray(1024 * 1024, 'f'));
    QByteArray script = "CREATE TABLE %S.t (n int)\r\n";
    script += QByteArray(1024 * 1024 - script.size(), ' ');
    publishScript(script);
    QVERIFY(QDir().mkdir(app(u"Reports"_s)));
    QVERIFY(writeBytes(app(u"Reports/Fees.rpt"_s), "the fees report of last term"));
    // Everything but freeBytes is taken.
    const qint64 available = QStorageInfo(folder).bytesAvailable();
    QVERIFY(available > freeBytes);
    QVERIFY(writeBytes(app(u"filler"_s), QByteArray(available - freeBytes, 'x')));

    const QString log = m_sp.web->path(u"full.log"_s);
    QString output;
    QCOMPARE(runUpdater(arguments.split(u' ') + QStringList{u"--log"_s, log}, &output), 9);
    const QString logged = QString::fromUtf8(readBytes(log));
    QVERIFY2(logged.contains(u"not enough disk space"_s) && logged.contains(u"(exit code 9)"_s), qPrintable(logged));
    // Every file as it was, and no part file left to hold the space.
    QCOMPARE(readBytes(app(u"Vantora.exe"_s)), StandIns::bytes());
    QCOMPARE(readBytes(app(u"version.txt"_s)), QByteArray("1.0.0\r\n"));
    QCOMPARE(readBytes(app(u"Reports/Fees.rpt"_s)), QByteArray("the fees report of last term"));
    QVERIFY(!m_sp.db->tableExists(u"t"_s));
    const QStringList parts = QDir(folder).entryList({u"*.part"_s, u"*.part.info"_s}, QDir::Files)
        + QDir(app(u"Reports"_s)).entryList({u"*.part"_s}, QDir::Files)
        + QDir(app(u"SP"_s)).entryList({u"*.part"_s}, QDir::Files);
    QVERIFY2(parts.isEmpty(), qPrintable(parts.join(u' ')));
}

QTEST_GUILESS_MAIN(TestUnattended)
#include "tst_unattended.moc"

void TestUnattended::killedDuringProbation_data()
{
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("newKept");
    QTest::addColumn<QString>("logged");
    QTest::newRow("killed while watching, the program runs on: taken as good")
        << "" << true << "it runs: the release is taken as good";
    QTest::newRow("killed while watching, the program gone by the next run: taken back")
        << "program gone" << false << "take back: Vantora.exe 1.0.0 is back in place";
    // What an updater leaves when it dies between deciding to take the
    // build back and finishing.
    QTest::newRow("killed while taking back: finished")
        << "taking back" << false << "take back: Vantora.exe 1.0.0 is back in place";
}

// An updater killed during the probation leaves its phase in updater.state;
// the next run finishes it before anything else.
void TestUnattended::killedDuringProbation()
{
    QFETCH(QString, after);
    QFETCH(bool, newKept);
    QFETCH(QString, logged);
    QProcess first;
    startUpdater(first, m_sp.web->appFolder(), {u"--update-app"_s, u"--yes"_s, u"--probation"_s, u"60"_s});
    QVERIFY(QTest::qWaitFor(
        [&] {
            return readBytes(app(u"updater.state"_s)).contains("probation=watching|")
                && !m_standIns->running().isEmpty();
        },
        30'000));
    first.kill();
    QVERIFY(first.waitForFinished());
    if (after == QLatin1String("program gone"))
        m_standIns->stopAll();
    if (after == QLatin1String("taking back")) {
        QByteArray state = readBytes(app(u"updater.state"_s));
        QVERIFY(writeBytes(app(u"updater.state"_s), state.replace("probation=watching|", "probation=taking-back|")));
    }
    // The version the desk ends at is the published one: the next run only
    // finishes what was left.
    m_sp.web->publish(u"/updates/version.txt"_s, newKept ? "1.1.0\r\n" : "1.0.0\r\n");
    QString output;
    QCOMPARE(runUpdater({u"--update-app"_s, u"--yes"_s, u"--probation"_s, u"1"_s}, &output), 0);
    QCOMPARE(readBytes(app(u"Vantora.exe"_s)), StandIns::bytes() + (newKept ? kNewBuild : QByteArray()));
    QCOMPARE(readBytes(app(u"version.txt"_s)).trimmed(), newKept ? "1.1.0" : "1.0.0");
    const QByteArray state = readBytes(app(u"updater.state"_s));
    QVERIFY2(!state.contains("probation=watching") && !state.contains("probation=taking-back"), state.constData());
    const QString log = QString::fromUtf8(readBytes(app(u"updater.log"_s)));
    QVERIFY2(log.contains(logged), qPrintable(log));
    // The program in place runs again.
    QVERIFY(QTest::qWaitFor([&] { return !m_standIns->running().isEmpty(); }, 5'000));
}
