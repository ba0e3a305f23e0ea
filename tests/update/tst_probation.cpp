// The rules after a new program is started, alone: how its end is judged,
// and what is taken back and held.
#include "update/probation.h"

#include <QTest>

Q_DECLARE_METATYPE(ProgramEnd::How)

class TestProbation : public QObject
{
    Q_OBJECT
private slots:
    void decide_data();
    void decide();
    void resume_data();
    void resume();
};

void TestProbation::decide_data()
{
    QTest::addColumn<ProgramEnd::How>("how");
    QTest::addColumn<qint64>("code");
    QTest::addColumn<int>("earlier"); // failed starts of the build before
    QTest::addColumn<bool>("keep");
    QTest::addColumn<bool>("takeBack");
    QTest::addColumn<bool>("hold");
    QTest::addColumn<QString>("described");
    using How = ProgramEnd::How;
    QTest::newRow("runs on") << How::Running << qint64{0} << 2 << false << false << false << "it runs";
    QTest::newRow("exit 0: the silent run finished")
        << How::Exited << qint64{0} << 0 << false << false << false << "exit code 0";
    QTest::newRow("exit 3, the first") << How::Exited << qint64{3} << 0 << false << true << false << "exit code 3";
    QTest::newRow("exit 3, the third") << How::Exited << qint64{3} << 2 << false << true << true << "exit code 3";
    QTest::newRow("a signal") << How::Signal << qint64{6} << 0 << false << true << true << "signal 6 (Aborted)";
    QTest::newRow("DLL not found") << How::Exited << qint64{0xC0000135} << 0 << false << true << true
                                   << "status 0xC0000135";
    QTest::newRow("access violation, read back negative")
        << How::Exited << qint64{-1073741819} << 0 << false << true << true << "status 0xC0000005";
    QTest::newRow("a warning status is an exit code")
        << How::Exited << qint64{0x80000003} << 0 << false << true << false << "exit code 2147483651";
    QTest::newRow("not started") << How::NotStarted << qint64{0} << 0 << false << true << true
                                 << "it could not be started: why";
    QTest::newRow("crash, the publisher keeps it")
        << How::Signal << qint64{11} << 0 << true << false << false << "signal 11 (Segmentation fault)";
}

void TestProbation::decide()
{
    QFETCH(ProgramEnd::How, how);
    QFETCH(qint64, code);
    QFETCH(int, earlier);
    QFETCH(bool, keep);
    QFETCH(bool, takeBack);
    QFETCH(bool, hold);
    QFETCH(QString, described);
    const ProgramEnd end{how, code, QStringLiteral("why")};
    const Probation::Decision decision = Probation::decide(Probation::judge(end), earlier, keep);
    QCOMPARE(decision.takeBack, takeBack);
    QCOMPARE(decision.hold, hold);
    const bool healthy = how == ProgramEnd::How::Running || (how == ProgramEnd::How::Exited && code == 0);
    QCOMPARE(decision.failures, healthy ? 0 : earlier + 1);
    QCOMPARE(Probation::describe(end), described);
}

void TestProbation::resume_data()
{
    QTest::addColumn<bool>("takingBack"); // else watching
    QTest::addColumn<bool>("runs");
    QTest::addColumn<int>("earlier");
    QTest::addColumn<bool>("takeBack");
    QTest::addColumn<bool>("hold");
    QTest::newRow("watching, runs by now: good") << false << true << 0 << false << false;
    QTest::newRow("watching, not running: back") << false << false << 0 << true << false;
    QTest::newRow("watching, not running a third time: held") << false << false << 2 << true << true;
    QTest::newRow("taking back, program running or not: finished") << true << true << 1 << true << false;
}

void TestProbation::resume()
{
    QFETCH(bool, takingBack);
    QFETCH(bool, runs);
    QFETCH(int, earlier);
    QFETCH(bool, takeBack);
    QFETCH(bool, hold);
    const Probation::Decision decision
        = Probation::resume(takingBack ? Probation::Phase::TakingBack : Probation::Phase::Watching, runs, earlier,
                            false);
    QCOMPARE(decision.takeBack, takeBack);
    QCOMPARE(decision.hold, hold);
}

QTEST_GUILESS_MAIN(TestProbation)
#include "tst_probation.moc"
