// "Update App" past the question: download, stop, swap, version record and
// relaunch, against real stand-in processes, real files and the local
// HTTPS server. The tool stops every Vantora.exe of this user, so this
// program holds a ctest resource lock against the other programs that run
// stand-ins.
#include "common/folderprocesscontrol.h"
#include "common/recordingservices.h"
#include "common/standins.h"
#include "common/testclock.h"
#include "common/textlines.h"
#include "common/webfixture.h"
#include "net/releasemanifest.h"
#include "update/appupdate.h"
#include "update/installfiles.h"
#include "update/linuxprocesscontrol.h"

#include <QCryptographicHash>
#include <QDateTime>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>
#include <QThread>

#include <csignal>
#include <sys/stat.h>

using Fault = HttpsFileServer::Fault;
Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(OutcomeKind)

namespace {
const QByteArray kNewBuild = "\nVantora 1.1.0 test build\n";
const QString kRelaunchSwitch = QStringLiteral("/silentdbupdate");

// Moves that fail on demand, as on a locked installation.
class FailingFiles : public InstallFiles
{
public:
    int failingAsides = 0;      // the first this many moves of Vantora.exe aside fail
    bool failingMoveIn = false; // moving Vantora_new.exe into place fails
    int asides = 0;

    bool move(const QString &from, const QString &to) override
    {
        if (from.endsWith(QLatin1String("/Vantora.exe")))
            return ++asides > failingAsides && InstallFiles::move(from, to);
        if (from.endsWith(QLatin1String("/Vantora_new.exe")) && failingMoveIn)
            return false;
        return InstallFiles::move(from, to);
    }
};

int permissionBits(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

// What the window sees of one run that the user answered Yes: the check,
// the download, and, after a good download, the swap with its delete
// attempts and its outcome.
QStringList expectedRun(const QString &remote, bool downloaded, int deleteAttempts, bool replaced)
{
    QStringList log{QStringLiteral("cursor:busy"),
                    QStringLiteral("status:Checking for updates..."),
                    QStringLiteral("events"),
                    QStringLiteral("box:question:Update Available:A new version (%1) is available.\r\n"
                                   "Your version: 1.0.0\r\n\r\nDo you want to update now?")
                        .arg(remote),
                    QStringLiteral("status:Downloading update..."),
                    QStringLiteral("events"),
                    QStringLiteral("status:Starting download..."),
                    QStringLiteral("range:0..100"),
                    QStringLiteral("value:0"),
                    QStringLiteral("events")};
    for (int i = 1; i <= 40; ++i)
        log << QStringLiteral("events") << QStringLiteral("value:%1").arg(i);
    if (!downloaded)
        return log << QStringLiteral("status:Download failed.")
                   << QStringLiteral("box:critical:Updater:Failed to download update.")
                   << QStringLiteral("status:Update failed.") << QStringLiteral("cursor:default");
    log << QStringLiteral("value:100") << QStringLiteral("status:Download complete.")
        << QStringLiteral("status:Preparing to update...") << QStringLiteral("events");
    for (int i = 0; i < deleteAttempts; ++i)
        log << QStringLiteral("events");
    if (replaced)
        log << QStringLiteral("status:Update successful.")
            << QStringLiteral("box:info:Updater:Update completed successfully!");
    else
        log << QStringLiteral("status:Update failed.")
            << QStringLiteral("box:critical:Updater:Update failed. Couldn't replace the old EXE.");
    return log << QStringLiteral("cursor:default");
}

QList<int> expectedSleeps(int deleteAttempts)
{
    return QList<int>(40, 20) + QList<int>(deleteAttempts, 500);
}
} // namespace

class TestAppInstall : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void update_data();
    void update();
    void failedDownloadChangesNothing_data();
    void failedDownloadChangesNothing();
    void swapFailures_data();
    void swapFailures();
    void versionNotRecordedPutsTheOldBack();
    void startWatched_data();
    void startWatched();
    void processMatching_data();
    void processMatching();

private:
    QString app(const QString &name) const { return m_web->appFolder() + QLatin1Char('/') + name; }
    // Runs "Update App" answering Yes.
    RecordingServices run(InstallFiles &files, TestClock &clock);
    QList<qint64> startInstances(int count);
    // The stand-in started with the relaunch switch, or -1 after a wait.
    qint64 relaunched();

    std::unique_ptr<WebFixture> m_web;
    std::unique_ptr<StandIns> m_standIns;
    std::unique_ptr<FolderProcessControl> m_processes;
};

void TestAppInstall::init()
{
    m_web = std::make_unique<WebFixture>();
    QVERIFY2(m_web->ok(), qPrintable(m_web->error()));
    m_standIns = std::make_unique<StandIns>(m_web->appFolder());
    m_processes = std::make_unique<FolderProcessControl>(m_web->appFolder());
    QVERIFY(!StandIns::bytes().isEmpty());
    QVERIFY(StandIns::install(app(QStringLiteral("Vantora.exe"))));
    QVERIFY(writeBytes(app(QStringLiteral("version.txt")), "1.0.0\r\n"));
    m_web->publish(QStringLiteral("/updates/version.txt"), "1.1.0\r\n");
    m_web->publish(QStringLiteral("/updates/Vantora.exe"), StandIns::bytes() + kNewBuild);
}

void TestAppInstall::cleanup()
{
    m_standIns.reset(); // stops every stand-in of the folder
    QVERIFY(StandIns(m_web->appFolder()).running().isEmpty());
    m_web.reset();
}

RecordingServices TestAppInstall::run(InstallFiles &files, TestClock &clock)
{
    RecordingServices window;
    window.answer({Answer::Yes});
    const Endpoints endpoints = m_web->endpoints();
    AppUpdate update(window, m_web->web(), clock, endpoints, m_web->appFolder(), *m_processes, files);
    update.setStartWatch({0, false}); // the watch has tests of its own
    update.run();
    return window;
}

QList<qint64> TestAppInstall::startInstances(int count)
{
    QList<qint64> pids;
    for (int i = 0; i < count; ++i)
        pids << m_standIns->start(app(QStringLiteral("Vantora.exe")));
    return pids;
}

qint64 TestAppInstall::relaunched()
{
    qint64 pid = -1;
    [[maybe_unused]] const bool found = QTest::qWaitFor([&] {
        for (const QString &line : StandIns::logLines(app(QStringLiteral("Vantora.exe")))) {
            const QStringList fields = line.split(QLatin1Char(' '));
            if (fields.size() == 2 && fields.at(1) == kRelaunchSwitch)
                pid = fields.at(0).toLongLong();
        }
        return pid > 0;
    });
    return pid;
}

void TestAppInstall::update_data()
{
    QTest::addColumn<int>("instances");
    QTest::addColumn<int>("oldPermissions"); // -1: no executable installed
    QTest::addColumn<QByteArray>("published");
    QTest::addColumn<QByteArray>("recorded");
    QTest::addColumn<int>("deleteAttempts");
    QTest::addColumn<int>("newPermissions");

    const mode_t mask = ::umask(0);
    ::umask(mask);
    const int created = 0666 & ~int(mask);
    const int runnable = created | ((created & 0444) >> 2);

    QTest::newRow("two running instances")
        << 2 << 0755 << QByteArray("1.1.0\r\n") << QByteArray("1.1.0\r\n") << 1 << 0755;
    QTest::newRow("not running") << 0 << 0755 << QByteArray("1.1.0") << QByteArray("1.1.0\r\n") << 1 << 0755;
    QTest::newRow("owner-only executable") << 1 << 0700 << QByteArray("1.1.0") << QByteArray("1.1.0\r\n") << 1 << 0700;
    QTest::newRow("published with blanks and CR LF")
        << 0 << 0755 << QByteArray(" 1.3.0 \r\n") << QByteArray("1.3.0\r\n") << 1 << 0755;
    QTest::newRow("no executable installed yet")
        << 0 << -1 << QByteArray("1.1.0") << QByteArray("1.1.0\r\n") << 0 << runnable;
}

void TestAppInstall::update()
{
    QFETCH(int, instances);
    QFETCH(int, oldPermissions);
    QFETCH(QByteArray, published);
    QFETCH(QByteArray, recorded);
    QFETCH(int, deleteAttempts);
    QFETCH(int, newPermissions);
    const QString exe = app(QStringLiteral("Vantora.exe"));
    if (oldPermissions < 0)
        QVERIFY(QFile::remove(exe));
    else
        QVERIFY(::chmod(QFile::encodeName(exe).constData(), mode_t(oldPermissions)) == 0);
    m_web->publish(QStringLiteral("/updates/version.txt"), published);
    const QList<qint64> old = startInstances(instances);
    QVERIFY(!old.contains(-1));

    TestClock clock;
    const RecordingServices window = run(InstallFiles::plain(), clock);

    const QString remote = TextRules::normalizeVersion(QString::fromLatin1(published));
    QCOMPARE(withoutDownloadProgress(window.log), expectedRun(remote, true, deleteAttempts, true));
    QCOMPARE(clock.sleeps, expectedSleeps(deleteAttempts));
    for (const qint64 pid : old)
        QVERIFY2(StandIns::waitStopped(pid), "an old instance still runs");
    QCOMPARE(readBytes(exe), StandIns::bytes() + kNewBuild);
    QVERIFY(!QFileInfo::exists(app(QStringLiteral("Vantora_new.exe"))));
    QCOMPARE(permissionBits(exe), newPermissions);
    QCOMPARE(readBytes(app(QStringLiteral("version.txt"))), recorded);

    // The new executable runs, started once with the switch.
    const qint64 pid = relaunched();
    QVERIFY2(pid > 0, "the application was not started again");
    QVERIFY(StandIns::isRunning(pid));
    QCOMPARE(StandIns::executableOf(pid), QFileInfo(exe).canonicalFilePath());
    QCOMPARE(m_standIns->running(), QList<qint64>{pid});

    // The recorded version reads back as the published one.
    RecordingServices again;
    AppUpdate(again, m_web->web(), clock, m_web->endpoints(), m_web->appFolder(), *m_processes, InstallFiles::plain())
        .run();
    QCOMPARE(again.statuses().last(), QStringLiteral("Already up to date."));
}

void TestAppInstall::failedDownloadChangesNothing_data()
{
    QTest::addColumn<Fault>("fault");
    Fault refused;
    refused.status = 404;
    Fault dropped;
    dropped.dropAfter = StandIns::bytes().size() / 2;
    dropped.noValidators = true; // nothing to resume from: every attempt is cut
    QTest::newRow("download refused (404)") << refused;
    QTest::newRow("connection dropped mid-file") << dropped;
}

void TestAppInstall::failedDownloadChangesNothing()
{
    QFETCH(Fault, fault);
    m_web->server().setFault(QStringLiteral("/updates/Vantora.exe"), fault);
    const QList<qint64> old = startInstances(2);
    QVERIFY(!old.contains(-1));

    TestClock clock;
    const RecordingServices window = run(InstallFiles::plain(), clock);

    QCOMPARE(withoutDownloadProgress(window.log), expectedRun(QStringLiteral("1.1.0"), false, 0, false));
    QCOMPARE(clock.sleeps, expectedSleeps(0));
    QCOMPARE(readBytes(app(QStringLiteral("Vantora.exe"))), StandIns::bytes());
    QVERIFY(!QFileInfo::exists(app(QStringLiteral("Vantora_new.exe"))));
    QCOMPARE(readBytes(app(QStringLiteral("version.txt"))), QByteArray("1.0.0\r\n"));
    QCOMPARE(StandIns::logLines(app(QStringLiteral("Vantora.exe"))).size(), 2); // nothing started
    for (const qint64 pid : old)
        QVERIFY2(StandIns::isRunning(pid), "a failed download stopped the application");

    // Nothing is left half done: the next click updates.
    m_web->server().clearFaults();
    const RecordingServices next = run(InstallFiles::plain(), clock);
    QCOMPARE(next.status(), QStringLiteral("Update successful."));
    QVERIFY(!next.busy());
}

void TestAppInstall::swapFailures_data()
{
    QTest::addColumn<int>("failingAsides");
    QTest::addColumn<bool>("failingMoveIn");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("old executable held throughout") << 1000 << false << 10 << false;
    QTest::newRow("old executable held for three attempts") << 3 << false << 4 << true;
    QTest::newRow("move into place refused after the move aside: the old one back") << 0 << true << 1 << false;
}

void TestAppInstall::swapFailures()
{
    QFETCH(int, failingAsides);
    QFETCH(bool, failingMoveIn);
    QFETCH(int, attempts);
    QFETCH(bool, replaced);
    const QString exe = app(QStringLiteral("Vantora.exe"));
    const QString fresh = app(QStringLiteral("Vantora_new.exe"));
    const QList<qint64> old = startInstances(2);
    QVERIFY(!old.contains(-1));
    FailingFiles files;
    files.failingAsides = failingAsides;
    files.failingMoveIn = failingMoveIn;

    TestClock clock;
    const RecordingServices window = run(files, clock);

    QCOMPARE(withoutDownloadProgress(window.log), expectedRun(QStringLiteral("1.1.0"), true, attempts, replaced));
    QCOMPARE(clock.sleeps, expectedSleeps(attempts));
    QCOMPARE(files.asides, attempts);
    for (const qint64 pid : old)
        QVERIFY2(StandIns::waitStopped(pid), "an old instance still runs");
    const QByteArray newBytes = StandIns::bytes() + kNewBuild;
    if (replaced) {
        QCOMPARE(readBytes(exe), newBytes);
        QCOMPARE(readBytes(app(QStringLiteral("Vantora_old.exe"))), StandIns::bytes());
        QVERIFY(!QFileInfo::exists(fresh));
        QCOMPARE(readBytes(app(QStringLiteral("version.txt"))), QByteArray("1.1.0\r\n"));
    } else {
        // The old executable is in place, byte for byte; the new one is
        // kept, and the version is offered again.
        QCOMPARE(readBytes(exe), StandIns::bytes());
        QCOMPARE(readBytes(fresh), newBytes);
        QCOMPARE(readBytes(app(QStringLiteral("version.txt"))), QByteArray("1.0.0\r\n"));
    }
    // The executable in place is started again.
    const qint64 pid = relaunched();
    QVERIFY2(pid > 0, "the application was not started again");
    QCOMPARE(StandIns::executableOf(pid), QFileInfo(exe).canonicalFilePath());
}

void TestAppInstall::processMatching_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("link"); // started through this link when given
    QTest::addColumn<bool>("deleteFile");
    QTest::addColumn<bool>("stopped");
    // clang-format off
    QTest::newRow("command and file named Vantora.exe") << "Vantora.exe" << "" << false << true;
    QTest::newRow("file named Vantora.exe, started as launcher") << "Vantora.exe" << "launcher" << false << true;
    QTest::newRow("file deleted after the start") << "Vantora.exe" << "launcher" << true << true;
    QTest::newRow("command named Vantora.exe, file standin.bin") << "standin.bin" << "Vantora.exe" << false << true;
    QTest::newRow("another program") << "Vantora.exe.old" << "" << false << false;
    QTest::newRow("Vantora.exe of another folder") << "elsewhere/Vantora.exe" << "" << false << false;
    // clang-format on
}

void TestAppInstall::processMatching()
{
    QFETCH(QString, file);
    QFETCH(QString, link);
    QFETCH(bool, deleteFile);
    QFETCH(bool, stopped);
    QFile::remove(app(QStringLiteral("Vantora.exe")));
    QVERIFY(QDir().mkpath(QFileInfo(app(file)).absolutePath()));
    QVERIFY(StandIns::install(app(file)));
    if (!link.isEmpty())
        QVERIFY(QFile::link(app(file), app(link)));
    const qint64 pid = m_standIns->start(app(link.isEmpty() ? file : link));
    QVERIFY(pid > 0);
    if (deleteFile) {
        QVERIFY(QFile::remove(app(file)));
        QVERIFY(StandIns::executableOf(pid).endsWith(QStringLiteral(" (deleted)")));
    }

    QCOMPARE(LinuxProcessControl::matching(app(QStringLiteral("Vantora.exe"))).contains(pid), stopped);
    LinuxProcessControl().stopAll(app(QStringLiteral("Vantora.exe"))); // the real stop
    if (stopped) {
        QVERIFY(StandIns::waitStopped(pid));
    } else {
        QTest::qWait(200);
        QVERIFY(StandIns::isRunning(pid));
        // One outside the fixture's folder is this test's to stop.
        ::kill(static_cast<pid_t>(pid), SIGKILL);
        QVERIFY(StandIns::waitStopped(pid));
    }
}

void TestAppInstall::versionNotRecordedPutsTheOldBack()
{
    // version.txt cannot be replaced (immutable, which holds for root too):
    // the new executable must not stay in place under the old version.
    const QString version = app(QStringLiteral("version.txt"));
    if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), version}) != 0)
        QSKIP("chattr +i is not available here");
    const auto mutableAgain = qScopeGuard([&] {
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), version});
    });
    TestClock clock;
    const RecordingServices window = run(InstallFiles::plain(), clock);

    QCOMPARE(readBytes(app(QStringLiteral("Vantora.exe"))), StandIns::bytes());
    QCOMPARE(readBytes(app(QStringLiteral("Vantora_new.exe"))), StandIns::bytes() + kNewBuild);
    QCOMPARE(readBytes(version), QByteArray("1.0.0\r\n"));
    QVERIFY(!window.boxes().contains(QStringLiteral("box:info:Updater:Update completed successfully!")));
}

QTEST_GUILESS_MAIN(TestAppInstall)
#include "tst_appinstall.moc"

void TestAppInstall::startWatched_data()
{
    QTest::addColumn<QByteArray>("program"); // the published Vantora.exe
    QTest::addColumn<int>("runs");
    QTest::addColumn<bool>("keepIfStartFails");
    QTest::addColumn<OutcomeKind>("outcome"); // of the last run
    QTest::addColumn<bool>("kept");
    QTest::addColumn<bool>("held");
    const QByteArray crashes = "#!/bin/sh\nkill -SEGV $$\n";
    const QByteArray exits3 = "#!/bin/sh\nexit 3\n";
    QTest::newRow("crashes at once: taken back, held")
        << crashes << 1 << false << OutcomeKind::StartFailed << false << true;
    QTest::newRow("exits 3: taken back, not held")
        << exits3 << 1 << false << OutcomeKind::StartFailed << false << false;
    QTest::newRow("exits 3 the third time: held") << exits3 << 3 << false << OutcomeKind::StartFailed << false << true;
    QTest::newRow("exits 0 at once: kept")
        << QByteArray("#!/bin/sh\nexit 0\n") << 1 << false << OutcomeKind::Done << true << false;
    QTest::newRow("runs on: kept") << StandIns::bytes() + kNewBuild << 1 << false << OutcomeKind::Done << true << false;
    QTest::newRow("publisher keeps it: kept, reported")
        << crashes << 1 << true << OutcomeKind::StartFailed << true << false;
}

void TestAppInstall::startWatched()
{
    QFETCH(QByteArray, program);
    QFETCH(int, runs);
    QFETCH(bool, keepIfStartFails);
    QFETCH(OutcomeKind, outcome);
    QFETCH(bool, kept);
    QFETCH(bool, held);
    m_web->publish(QStringLiteral("/updates/Vantora.exe"), program);
    ReleaseManifest manifest;
    manifest.serial = 7;
    manifest.version = QStringLiteral("1.1.0");
    manifest.signedAt = QDateTime::currentDateTimeUtc().addSecs(-60);
    manifest.expires = manifest.signedAt.addDays(1);
    manifest.files.insert(QStringLiteral("Vantora.exe"),
                          {program.size(), QCryptographicHash::hash(program, QCryptographicHash::Sha256), {}});
    manifest.keepIfStartFails = keepIfStartFails;
    m_web->publish(QStringLiteral("/updates/release.json"), manifest.toJson());

    auto runOnce = [&](Outcome *ended) {
        RecordingServices window;
        window.answer({Answer::Yes});
        TestClock clock;
        // The watch waits for real; the swap's retries need not.
        clock.onSleep = [&clock] {
            if (clock.sleeps.last() < 500)
                QThread::msleep(static_cast<unsigned long>(clock.sleeps.last()));
        };
        const Endpoints endpoints = m_web->endpoints();
        AppUpdate update(window, m_web->web(), clock, endpoints, m_web->appFolder(), *m_processes,
                         InstallFiles::plain());
        update.setStartWatch({1, false});
        *ended = update.run();
        return window;
    };
    Outcome ended;
    RecordingServices window;
    for (int i = 0; i < runs; ++i)
        window = runOnce(&ended);
    QCOMPARE(ended.kind, outcome);
    const QString exe = app(QStringLiteral("Vantora.exe"));
    QCOMPARE(readBytes(exe), kept ? program : StandIns::bytes());
    QCOMPARE(readBytes(app(QStringLiteral("version.txt"))), kept ? QByteArray("1.1.0\r\n") : QByteArray("1.0.0\r\n"));
    const QString box = window.only({QStringLiteral("box:")}).last();
    if (outcome == OutcomeKind::StartFailed) {
        QVERIFY2(box.startsWith(QStringLiteral("box:critical:Updater:Vantora.exe 1.1.0 did not start (")),
                 qPrintable(box));
        QVERIFY2(box.contains(kept ? QStringLiteral("It stays installed")
                                   : QStringLiteral("The previous version (1.0.0) is back in place.")),
                 qPrintable(box));
    } else {
        QCOMPARE(box, QStringLiteral("box:info:Updater:Update completed successfully!"));
    }
    if (program.startsWith(StandIns::bytes())) {
        // Success is claimed only after the watch.
        const QStringList said = window.only({QStringLiteral("status:"), QStringLiteral("box:")});
        const qsizetype waiting
            = said.indexOf(QStringLiteral("status:Waiting up to 1 seconds to see that Vantora.exe 1.1.0 starts..."));
        QVERIFY2(waiting >= 0 && waiting < said.indexOf(box), qPrintable(said.join(u'\n')));
    }
    if (!kept) {
        // The old program runs again.
        QVERIFY2(QTest::qWaitFor([this] { return m_standIns->running().size() == 1; }),
                 "the previous version was not started again");
    }

    // A held build is neither fetched nor installed again.
    m_web->server().clearRequests();
    Outcome next;
    const RecordingServices again = runOnce(&next);
    if (held) {
        QCOMPARE(next.kind, OutcomeKind::UpToDate);
        QCOMPARE(again.statuses().last(), QStringLiteral("Already up to date."));
        QVERIFY(!m_web->server().requests().join(u' ').contains(QStringLiteral("/updates/Vantora.exe")));
        QVERIFY(next.reason.startsWith(QStringLiteral("held: ")));
    } else if (!kept) {
        QVERIFY(m_web->server().requests().join(u' ').contains(QStringLiteral("/updates/Vantora.exe")));
    }
}
