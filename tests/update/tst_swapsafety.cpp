// The installation is never without a complete Vantora.exe: two updaters
// started on one folder at once, and an updater killed in the middle of the
// swap, with the next run of an action repairing the folder.
#include "common/recordingservices.h"
#include "common/standins.h"
#include "common/webfixture.h"
#include "reports/reportactions.h"
#include "reports/reportlist.h"
#include "update/installation.h"
#include "update/installfiles.h"

#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QByteArray kNewBuild = "\nVantora 1.1.0 test build\n";
const QString kBusy = u"box:warn:Updater:Another Updater is already working in this folder. Please try again when "
                      "it has finished."_s;
const QString kDone = u"box:info:Updater:Update completed successfully!"_s;
} // namespace

class TestSwapSafety : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void twoUpdatersOnOneFolder();
    void killedDuringTheSwap_data();
    void killedDuringTheSwap();

private:
    QString app(const QString &name) const { return m_web->appFolder() + QLatin1Char('/') + name; }
    // An updater process on the fixture's folder.
    QProcess *startUpdater(const QStringList &extra = {});
    // The bytes of the executable the folder has under the first of the
    // three names that holds one, in the order the swap moves them.
    QByteArray anyExecutable() const;

    std::unique_ptr<WebFixture> m_web;
    std::unique_ptr<StandIns> m_standIns;
    QByteArray m_old;
    QByteArray m_new;
};

void TestSwapSafety::init()
{
    m_web = std::make_unique<WebFixture>();
    QVERIFY2(m_web->ok(), qPrintable(m_web->error()));
    m_standIns = std::make_unique<StandIns>(m_web->appFolder());
    QVERIFY(StandIns::install(app(u"Vantora.exe"_s)));
    QVERIFY(writeBytes(app(u"version.txt"_s), "1.0.0\r\n"));
    m_old = StandIns::bytes();
    m_new = m_old + kNewBuild;
    m_web->publish(u"/updates/version.txt"_s, "1.1.0\r\n");
    m_web->publish(u"/updates/Vantora.exe"_s, m_new);
    QVERIFY(m_standIns->start(app(u"Vantora.exe"_s)) > 0);
}

void TestSwapSafety::cleanup()
{
    m_standIns.reset();
    m_web.reset();
}

QProcess *TestSwapSafety::startUpdater(const QStringList &extra)
{
    auto *process = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"UPDATER_UPDATE_HOST"_s, m_web->server().host());
    env.insert(u"UPDATER_CA_FILE"_s, m_web->pki().caFile);
    process->setProcessEnvironment(env);
    process->start(QString::fromUtf8(UPDATER_RUNNER), QStringList{m_web->appFolder()} + extra);
    return process;
}

QByteArray TestSwapSafety::anyExecutable() const
{
    for (const QString &name : {u"Vantora.exe"_s, u"Vantora_new.exe"_s, u"Vantora_old.exe"_s}) {
        const QByteArray bytes = readBytes(app(name));
        if (!bytes.isEmpty())
            return bytes;
    }
    return {};
}

void TestSwapSafety::twoUpdatersOnOneFolder()
{
    // A slow download keeps the first updater at work while the second
    // one starts.
    HttpsFileServer::Fault slow;
    slow.trickleBytes = int(m_new.size() / 20) + 1;
    slow.trickleIntervalMs = 50;
    m_web->server().setFault(u"/updates/Vantora.exe"_s, slow);
    QProcess *first = startUpdater();
    QProcess *second = startUpdater();

    int looks = 0;
    // The test's own event loop serves the downloads meanwhile.
    while (first->state() != QProcess::NotRunning || second->state() != QProcess::NotRunning) {
        const QByteArray seen = anyExecutable();
        QVERIFY2(seen == m_old || seen == m_new, "no complete executable under any of the three names");
        ++looks;
        QTest::qWait(2);
    }
    const QString outcomes = QString::fromUtf8(first->readAllStandardOutput() + second->readAllStandardOutput());
    QCOMPARE(outcomes.count(kDone), 1);
    QCOMPARE(outcomes.count(kBusy), 1);
    QVERIFY(looks > 10);
    QCOMPARE(readBytes(app(u"Vantora.exe"_s)), m_new);
    QCOMPARE(readBytes(app(u"Vantora_old.exe"_s)), m_old);
    QCOMPARE(readBytes(app(u"version.txt"_s)), QByteArray("1.1.0\r\n"));
}

void TestSwapSafety::killedDuringTheSwap_data()
{
    QTest::addColumn<int>("moves"); // made before the kill
    QTest::addColumn<bool>("newInPlace");
    QTest::newRow("killed after the download") << 0 << false;
    QTest::newRow("killed after the move aside") << 1 << false;
    QTest::newRow("killed after the move into place") << 2 << true;
}

void TestSwapSafety::killedDuringTheSwap()
{
    QFETCH(int, moves);
    QFETCH(bool, newInPlace);
    QProcess *killed = startUpdater({QString::number(moves)});
    // The test's own event loop serves the download meanwhile.
    QVERIFY(QTest::qWaitFor([&] { return killed->state() == QProcess::NotRunning; }, 30'000));
    QCOMPARE(killed->exitCode(), 9);
    // A complete executable is left under one of the names...
    const QByteArray left = anyExecutable();
    QVERIFY(left == m_old || left == m_new);

    // ...and the next action of any kind puts it in place, taking over the
    // lock the killed updater left, even where its file names a process id
    // that a live process has now (containers, PID namespaces, a reboot).
    QVERIFY(writeBytes(app(u"updater.lock"_s),
                       QByteArray::number(QCoreApplication::applicationPid()) + "\nupdater\n"
                           + QSysInfo::machineHostName().toUtf8() + "\n"));
    RecordingServices window;
    ReportList list;
    const Endpoints endpoints = m_web->endpoints();
    const std::optional<Outcome> notRun
        = Installation::runAction(window, m_web->appFolder(), InstallFiles::plain(), [&] {
              ReportActions(window, m_web->web(), endpoints, m_web->appFolder(), list).cmdReports_Click();
          });
    QVERIFY(!notRun);
    QVERIFY(!window.boxes().contains(kBusy));
    QCOMPARE(readBytes(app(u"Vantora.exe"_s)), newInPlace ? m_new : m_old);
    QVERIFY(!QFileInfo::exists(app(u"Vantora_new.exe"_s)));
}

QTEST_GUILESS_MAIN(TestSwapSafety)
#include "tst_swapsafety.moc"
