// The fleet report as IT reads it: the real updater program over a folder
// of status files as desks leave them on a school's share, its lines, its
// exit code, and its page as a real browser (Debian's chromium, headless)
// renders it.
#include "common/webfixture.h"
#include "update/installationstatus.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

struct DeskRun
{
    QString computer;
    QString version;
    QString outcome;
    int exitCode = 0;
    int daysAgo = 0;
    qint64 serial = 0;
};

} // namespace

class TestFleetReport : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void exitCode_data();
    void exitCode();
    void fleet();
    void pageInBrowser();

private:
    // Leaves the status file a desk would leave; the folder tells two
    // installations on one computer apart.
    void leave(const DeskRun &desk, const QString &folder = u"C:\\Vantora"_s);
    int report(const QStringList &arguments, QString *out = nullptr, QString *err = nullptr);

    std::unique_ptr<QTemporaryDir> m_share;
    int m_installations = 0;
};

void TestFleetReport::init()
{
    m_share = std::make_unique<QTemporaryDir>();
    QVERIFY(m_share->isValid());
    m_installations = 0;
}

void TestFleetReport::leave(const DeskRun &desk, const QString &folder)
{
    InstallationStatus status;
    status.computer = desk.computer;
    status.identity = u"%1"_s.arg(++m_installations, 8, 16, QLatin1Char('0')) + QString(24, u'0');
    status.account = u"staff"_s;
    status.folder = folder;
    status.installedVersion = desk.version;
    status.updaterVersion = u"0.1.0"_s;
    status.action = u"update-app"_s;
    status.outcome = desk.outcome;
    status.exitCode = desk.exitCode;
    status.ranAt = QDateTime::currentDateTimeUtc().addDays(-desk.daysAgo).addSecs(-60);
    status.releaseSerial = desk.serial;
    QString why;
    QVERIFY2(status.writeTo(m_share->path(), &why), qPrintable(why));
}

int TestFleetReport::report(const QStringList &arguments, QString *out, QString *err)
{
    QProcess updater;
    updater.start(QString::fromUtf8(UPDATER_BINARY), QStringList{u"--fleet-report"_s, m_share->path()} + arguments);
    if (!updater.waitForFinished(60'000))
        return -1;
    if (out)
        *out = QString::fromUtf8(updater.readAllStandardOutput());
    if (err)
        *err = QString::fromUtf8(updater.readAllStandardError());
    return updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -2;
}

void TestFleetReport::exitCode_data()
{
    QTest::addColumn<QList<DeskRun>>("desks");
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("flagged"); // the desks reported with a problem, in order
    const DeskRun a{u"desk-a"_s, u"1.10.0"_s, u"done"_s};
    const DeskRun b{u"desk-b"_s, u"1.10.0"_s, u"already up to date"_s};
    QTest::newRow("all on the newest, succeeded, recent") << QList<DeskRun>{a, b} << "" << 0 << "";
    // 1.10.0 is above 1.9.0: by number, not by text.
    QTest::newRow("one behind") << QList<DeskRun>{a, {u"desk-c"_s, u"1.9.0"_s, u"done"_s}} << "" << 17 << "desk-c";
    QTest::newRow("2.1 and 2.1.0 are one version")
        << QList<DeskRun>{{u"desk-a"_s, u"2.1"_s, u"done"_s}, {u"desk-b"_s, u"2.1.0"_s, u"done"_s}} << "" << 0 << "";
    QTest::newRow("versions without an order: the highest serial's is the newest")
        << QList<DeskRun>{{u"desk-a"_s, u"2.0-rc"_s, u"done"_s, 0, 0, 9},
                          {u"desk-b"_s, u"2.0 beta"_s, u"done"_s, 0, 0, 7}}
        << "" << 17 << "desk-b";
    QTest::newRow("a failed download") << QList<DeskRun>{a, {u"desk-d"_s, u"1.10.0"_s, u"download failed"_s, 4}} << ""
                                       << 17 << "desk-d";
    QTest::newRow("not heard from for ten days")
        << QList<DeskRun>{a, {u"desk-e"_s, u"1.10.0"_s, u"done"_s, 0, 10}} << "" << 17 << "desk-e";
    QTest::newRow("ten days is recent with --stale-days 30")
        << QList<DeskRun>{a, {u"desk-e"_s, u"1.10.0"_s, u"done"_s, 0, 10}} << "--stale-days 30" << 0 << "";
    QTest::newRow("usage: --stale-days without a number") << QList<DeskRun>{a} << "--stale-days ten" << 2 << "";
    QTest::newRow("usage: --html without --fleet-report") << QList<DeskRun>{a} << "--check --html x.html" << 2 << "";
}

void TestFleetReport::exitCode()
{
    QFETCH(QList<DeskRun>, desks);
    QFETCH(QString, arguments);
    QFETCH(int, code);
    QFETCH(QString, flagged);
    for (const DeskRun &desk : desks)
        leave(desk);
    QString out;
    QString err;
    QCOMPARE(report(arguments.isEmpty() ? QStringList() : arguments.split(u' '), &out, &err), code);
    if (code == 2) {
        QVERIFY2(out.isEmpty() && err.contains(u"Usage:"_s), qPrintable(err));
        return;
    }
    QStringList problems;
    for (const QString &line : out.split(u'\n').mid(1, desks.size())) {
        if (line.contains(QRegularExpression(u"UTC  +\\S"_s)))
            problems << line.section(u' ', 0, 0);
    }
    QCOMPARE(problems.join(u' '), flagged);
}

void TestFleetReport::fleet()
{
    // A fleet as IT finds it: each outcome its own, two installations on
    // one computer, a desk silent for ten days, a file cut in half by a
    // lost connection, a file that is not ours.
    leave({u"desk-01"_s, u"1.1.0"_s, u"done"_s});
    leave({u"desk-02"_s, u"1.1.0"_s, u"already up to date"_s});
    leave({u"desk-03"_s, u"1.0.0"_s, u"another updater is at work in this folder"_s, 3});
    leave({u"desk-04"_s, u"1.0.0"_s, u"download failed"_s, 4});
    leave({u"desk-05"_s, u"1.1.0"_s, u"taken back"_s, 16});
    leave({u"lab-pc"_s, u"1.1.0"_s, u"done"_s}, u"C:\\Vantora"_s);
    leave({u"lab-pc"_s, u"1.0.0"_s, u"already up to date"_s}, u"D:\\Vantora Test"_s);
    leave({u"desk-06"_s, u"1.1.0"_s, u"done"_s, 0, 10});
    const QString whole = m_share->filePath(u"desk-01-00000001.json"_s);
    const QByteArray json = readBytes(whole);
    QVERIFY(!json.isEmpty());
    QVERIFY(writeBytes(m_share->filePath(u"desk-07-0000000a.json"_s), json.left(json.size() / 2)));
    QVERIFY(writeBytes(m_share->filePath(u"printers.json"_s), R"({"printers": ["hall", "office"]})"));

    QString out;
    QString err;
    QCOMPARE(report({}, &out, &err), 17);
    const QStringList lines = out.split(u'\n');
    // Problems first: the five with one, then the three well.
    QStringList order;
    for (const QString &line : lines.mid(1, 8))
        order << line.section(u' ', 0, 0);
    QCOMPARE(order,
             (QStringList{u"desk-03"_s, u"desk-04"_s, u"desk-05"_s, u"desk-06"_s, u"lab-pc"_s, u"desk-01"_s,
                          u"desk-02"_s, u"lab-pc"_s}));
    QVERIFY2(lines.at(5).startsWith(u"lab-pc (D:\\Vantora Test)"_s), qPrintable(out));
    QVERIFY2(lines.at(1).contains(u"another updater is at work in this folder"_s)
                 && lines.at(1).contains(u"behind 1.1.0, exit code 3"_s),
             qPrintable(out));
    QVERIFY2(lines.at(2).contains(u"download failed"_s) && lines.at(3).contains(u"taken back"_s), qPrintable(out));
    QVERIFY2(lines.at(4).contains(u"not heard from for 10 days"_s), qPrintable(out));
    QVERIFY2(out.contains(u"installations: 8, with a problem: 5\n"_s), qPrintable(out));
    QVERIFY2(out.contains(u"per version: 1.1.0 (newest): 5, 1.0.0: 3\n"_s), qPrintable(out));
    QVERIFY2(out.contains(u"per outcome: done: 3, already up to date: 2, another updater is at work in this folder: 1, "
                          "download failed: 1, taken back: 1\n"_s),
             qPrintable(out));
    QVERIFY2(out.contains(u"not heard from for 7 days: 1 (desk-06)\n"_s), qPrintable(out));
    QVERIFY2(out.contains(u"skipped desk-07-0000000a.json: not JSON, or cut short"_s), qPrintable(err));
    QVERIFY2(out.contains(u"skipped printers.json: not a status file of the updater"_s), qPrintable(out));
}

void TestFleetReport::pageInBrowser()
{
    const QString chromium = QStandardPaths::findExecutable(u"chromium"_s);
    QVERIFY2(!chromium.isEmpty(), "chromium is not installed (scripts/test installs it)");
    leave({u"desk-01"_s, u"1.1.0"_s, u"done"_s});
    leave({u"desk-02"_s, u"1.1.0"_s, u"done"_s});
    leave({u"desk-03"_s, u"1.1.0"_s, u"done"_s});
    leave({u"desk-04"_s, u"1.1.0"_s, u"done"_s});
    leave({u"desk-05"_s, u"1.0.0"_s, u"download failed"_s, 4});
    leave({u"desk-00"_s, u"1.0.0"_s, u"already up to date"_s});
    const QString page = QDir(m_share->path()).filePath(u"fleet.html"_s);
    QCOMPARE(report({u"--html"_s, page}), 17);

    // The page as the browser renders it: the DOM after its script ran;
    // #sort=0 sorts by the first column, as a click on it does.
    const auto render = [&](const QString &fragment) {
        QTemporaryDir profile;
        QProcess browser;
        browser.start(chromium,
                      {u"--headless"_s, u"--no-sandbox"_s, u"--disable-dev-shm-usage"_s, u"--disable-gpu"_s,
                       u"--user-data-dir="_s + profile.path(), u"--dump-dom"_s,
                       QUrl::fromLocalFile(page).toString() + fragment});
        if (!browser.waitForFinished(120'000)) {
            browser.kill();
            browser.waitForFinished();
        }
        return QString::fromUtf8(browser.readAllStandardOutput());
    };
    const auto rows = [](const QString &dom) {
        QStringList desks;
        const QRegularExpression row(u"<tr class=\"([^\"]*)\"><td>([^<]*)</td>"_s);
        for (const QRegularExpressionMatch &match : row.globalMatch(dom))
            desks << match.captured(2) + (match.captured(1).contains(u"problem"_s) ? u"!"_s : QString());
        return desks;
    };
    const QString dom = render(QString());
    QCOMPARE(rows(dom),
             (QStringList{u"desk-00!"_s, u"desk-05!"_s, u"desk-01"_s, u"desk-02"_s, u"desk-03"_s, u"desk-04"_s}));
    // The bars: 4 on 1.1.0 twice as high as 2 on 1.0.0; per outcome
    // 4, 1, 1.
    QStringList bars;
    const QRegularExpression bar(u"<rect class=\"bar\" data-label=\"([^\"]*)\" data-count=\"\\d+\" x=\"\\d+\" "
                                 "y=\"\\d+\" width=\"\\d+\" height=\"(\\d+)\""_s);
    for (const QRegularExpressionMatch &match : bar.globalMatch(dom))
        bars << match.captured(1) + u'=' + match.captured(2);
    QCOMPARE(bars,
             (QStringList{u"1.1.0=160"_s, u"1.0.0=80"_s, u"done=160"_s, u"already up to date=40"_s,
                          u"download failed=40"_s}));
    QCOMPARE(rows(render(u"#sort=0"_s)),
             (QStringList{u"desk-00!"_s, u"desk-01"_s, u"desk-02"_s, u"desk-03"_s, u"desk-04"_s, u"desk-05!"_s}));
}

QTEST_GUILESS_MAIN(TestFleetReport)
#include "tst_fleetreport.moc"
