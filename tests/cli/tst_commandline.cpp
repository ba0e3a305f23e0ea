#include "cli/cli.h"
#include "cli/commandline.h"
#include "common/signature.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestCommandLine : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void versionText_data();
    void versionText();
};

void TestCommandLine::parse_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("usable");
    QTest::newRow("check") << "--check" << true;
    QTest::newRow("update app, yes, log, quiet") << "--update-app --yes --log /tmp/u.log --quiet" << true;
    QTest::newRow("reports by name") << "--update-reports Fees.rpt Roll.rpt" << true;
    QTest::newRow("reports, all, rate as option=value") << "--update-reports --all --max-rate=1048576" << true;
    QTest::newRow("sp with timeout and jitter") << "--update-sp --yes --sql-timeout 0 --jitter 5" << true;
    QTest::newRow("sp forced, with a lock wait") << "--update-sp --yes --force --lock-wait=0" << true;
    QTest::newRow("nothing to do") << "--yes" << false;
    QTest::newRow("unknown option") << "--check --fast" << false;
    QTest::newRow("two actions") << "--check --update-app" << false;
    QTest::newRow("missing value") << "--update-app --log" << false;
    QTest::newRow("value that is an option") << "--update-app --max-rate --yes" << false;
    QTest::newRow("not a number") << "--update-sp --sql-timeout soon" << false;
    QTest::newRow("negative number") << "--update-sp --jitter -3" << false;
    QTest::newRow("reports: neither all nor names") << "--update-reports" << false;
    QTest::newRow("reports: all and names") << "--update-reports --all Fees.rpt" << false;
    QTest::newRow("a name without reports") << "--update-app Fees.rpt" << false;
    QTest::newRow("a value for a switch") << "--update-app --yes=no" << false;
    QTest::newRow("force with reports") << "--update-reports --all --force" << false;
    QTest::newRow("update app forced, watched 1 s") << "--update-app --yes --force --probation 1" << true;
    QTest::newRow("probation without update app") << "--check --probation 1" << false;
    QTest::newRow("lock wait without sp") << "--check --lock-wait 5" << false;
    QTest::newRow("mirror a folder") << "--mirror /srv/vantora --log /tmp/m.log" << true;
    QTest::newRow("update from a mirror") << "--update-app --yes --mirror-from https://school/vantora" << true;
    QTest::newRow("mirror without a folder") << "--mirror" << false;
    QTest::newRow("mirror and another action") << "--mirror /srv/v --update-app" << false;
    QTest::newRow("mirror-from with reports") << "--update-reports --all --mirror-from /srv/v" << false;
}

void TestCommandLine::parse()
{
    QFETCH(QString, line);
    QFETCH(bool, usable);
    const CommandLine parsed = CommandLine::parse(line.split(u' '));
    QVERIFY2(parsed.error.isEmpty() == usable, qPrintable(parsed.error));
    if (line == QLatin1String("--update-reports --all --max-rate=1048576")) {
        QVERIFY(parsed.allReports);
        QCOMPARE(parsed.maxRate, qint64{1048576});
    }
    if (line.contains(QLatin1String("--force")) && usable)
        QVERIFY(parsed.force);
    if (line.contains(QLatin1String("--lock-wait=0")))
        QCOMPARE(parsed.lockWait, 0);
    if (line.contains(QLatin1String("--probation")) && usable)
        QCOMPARE(parsed.probationSeconds, 1);
    if (line.startsWith(QLatin1String("--update-reports Fees")))
        QCOMPARE(parsed.reports, (QStringList{u"Fees.rpt"_s, u"Roll.rpt"_s}));
}

void TestCommandLine::versionText_data()
{
    QTest::addColumn<QList<QByteArray>>("keys");
    QTest::addColumn<QStringList>("lines"); // after "updater X"
    // The fingerprints as `openssl dgst -sha256 -binary | base64` gives them.
    QTest::newRow("no keys") << QList<QByteArray>() << QStringList{u"no trusted keys: signatures are not checked"_s};
    QTest::newRow("two keys") << QList<QByteArray>{QByteArray(32, 'k'), QByteArray(32, '\0')}
                              << QStringList{u"trusted key: SHA256:XjGPjPnL4kmjCBK4yhMtaR3tepGZFBNVjbV1hXX14B8"_s,
                                             u"trusted key: SHA256:Zmh6rfhivXdsj8GLjp+OIAiXFIVu4jOzkCpZHQ1fKSU"_s};
    QTest::newRow("a compiled key that does not parse")
        << Signature::compiledKeys({QString::fromLatin1(QByteArray(32, 'k').toBase64()), u"/etc/release.pub"_s})
        << QStringList{u"trusted key: none that can be read: no signature is accepted"_s};
}

void TestCommandLine::versionText()
{
    QFETCH(QList<QByteArray>, keys);
    QFETCH(QStringList, lines);
    QStringList printed = ::versionText(keys).split(u'\n');
    QVERIFY(printed.takeFirst().startsWith(u"updater "_s));
    QCOMPARE(printed.takeLast(), QString());
    QCOMPARE(printed, lines);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
