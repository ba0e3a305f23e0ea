#include "common/recordingservices.h"
#include "common/textencoding.h"
#include "common/webfixture.h"
#include "net/transfercodes.h"
#include "reports/reportactions.h"
#include "reports/reportlist.h"

#include <QDir>
#include <QDirIterator>
#include <QScopeGuard>
#include <QTest>

using namespace Qt::StringLiterals;

using Fault = HttpsFileServer::Fault;
Q_DECLARE_METATYPE(HttpsFileServer::Fault)

namespace {
const QString kFolder = QStringLiteral("/Teldrin/VantoraReports/main/");
const QString kCatalogue = kFolder + QStringLiteral("filelist.txt");
const QString kOpened = QStringLiteral("column:File Name:8000");
const QString kListed = QStringLiteral("column:File Name:5000");
const QString kBusy = QStringLiteral("cursor:busy");
const QString kDefault = QStringLiteral("cursor:default");
const QString kComplete = QStringLiteral("box:info:Updater:Download complete.");

// A report panel against a local report host: the recorded window, the
// rows, and a scratch installation.
struct Panel
{
    explicit Panel(int timeoutMs = 3'000) : web(timeoutMs), endpoints(web.endpoints())
    {
        window.onSelectAllChanged = [this] { actions().chkAll_Click(); };
    }

    ReportActions actions(const QString &appFolder = QString())
    {
        return ReportActions(window, web.web(), endpoints, appFolder.isEmpty() ? web.appFolder() : appFolder, list);
    }
    void publishCatalogue(const QByteArray &text) { web.publish(kCatalogue, text); }
    void publishReport(const QString &name, const QByteArray &content) { web.publish(kFolder + name, content); }
    QString reports() const { return web.appFolder() + QStringLiteral("/Reports"); }
    QString failed(const QString &encodedName)
    {
        return QStringLiteral("box:warn:Updater:Failed to download: https://") + web.server().host() + kFolder
            + encodedName;
    }
    // Lists the catalogue, then forgets what that recorded.
    void listCatalogue(const QByteArray &catalogue)
    {
        publishCatalogue(catalogue);
        actions().cmdReports_Click();
        window.log.clear();
        web.server().clearRequests();
    }

    // Clicks "Download" and checks what came of it: a box for each report
    // that failed (by its name in the address), the addresses asked for,
    // and exactly the files stored in Reports, each with its content.
    void downloadAndCheck(const QStringList &failedNames, const QStringList &requested, const QStringList &stored)
    {
        actions().cmdDownloadRpt_Click();
        QStringList expected{kBusy};
        for (const QString &name : failedNames)
            expected << failed(name);
        expected << kComplete << kDefault;
        QCOMPARE(window.log, expected);
        QStringList targets;
        for (const QString &name : requested)
            targets << kFolder + name;
        QCOMPARE(web.server().requests(), targets);
        QStringList files = QDir(reports()).entryList(QDir::Files | QDir::Hidden);
        QStringList expectedFiles = stored;
        files.sort();
        expectedFiles.sort();
        QCOMPARE(files, expectedFiles);
        for (const QString &name : stored)
            QCOMPARE(readBytes(reports() + QLatin1Char('/') + name), "content of " + name.toUtf8());
    }

    WebFixture web;
    Endpoints endpoints;
    RecordingServices window;
    ReportList list;
};

// Every file and folder below a folder, as relative paths.
QStringList tree(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(folder).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

QStringList checkedRows(const ReportList &list)
{
    QStringList rows;
    for (int row = 0; row < list.count(); ++row) {
        if (list.isChecked(row))
            rows << list.name(row);
    }
    return rows;
}
} // namespace

class TestReportActions : public QObject
{
    Q_OBJECT
private slots:
    void listing_data();
    void listing();
    void secondClickListsOnce();
    void failedFetchKeepsRows_data();
    void failedFetchKeepsRows();
    void clickClearsCheckedSelectAll_data();
    void clickClearsCheckedSelectAll();
    void largeCatalogueListsEveryRow();
    void download_data();
    void download();
    void downloadIntoExistingFolder();
    void failedDownloadKeepsEarlierReport_data();
    void failedDownloadKeepsEarlierReport();
    void namesNeverLeaveTheReportsFolder();
    void namesAreOnePathSegment();
    void namesOutsideAscii_data();
    void namesOutsideAscii();
    void reportsFolderProblems();
    void selectAll();
};

void TestReportActions::listing_data()
{
    QTest::addColumn<QByteArray>("catalogue");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("LF") << QByteArray("Fees.rpt\nClass List.rpt\n") << QStringList{u"Fees.rpt"_s, u"Class List.rpt"_s};
    QTest::newRow("CR LF") << QByteArray("Fees.rpt\r\nClass List.rpt\r\n")
                           << QStringList{u"Fees.rpt"_s, u"Class List.rpt"_s};
    QTest::newRow("byte-order mark, blanks, tab")
        << QByteArray("\xEF\xBB\xBF  Fees.rpt  \r\n   \r\nFee\tList.rpt\r\n\r\n")
        << QStringList{u"Fees.rpt"_s, u"FeeList.rpt"_s};
    QTest::newRow("empty catalogue") << QByteArray() << QStringList{};
    QTest::newRow("blank lines only") << QByteArray("  \r\n\r\n \n") << QStringList{};
    const QString eleve = QString::fromUtf16(u"\u00c9l\u00e8ve.rpt");
    QTest::newRow("UTF-8 mark, letters outside ASCII") << QByteArray("\xEF\xBB\xBF") + eleve.toUtf8()
            + "\r\nFees.rpt\r\n" << QStringList{eleve, u"Fees.rpt"_s};
    QByteArray utf16 = "\xFF\xFE";
    for (const QChar c : eleve + u"\r\nFees.rpt"_s)
        utf16 += QByteArray(1, char(c.unicode() & 0xFF)) + char(c.unicode() >> 8);
    QTest::newRow("UTF-16 mark, letters outside ASCII") << utf16 << QStringList{eleve, u"Fees.rpt"_s};
}

void TestReportActions::listing()
{
    QFETCH(QByteArray, catalogue);
    QFETCH(QStringList, rows);
    Panel panel;
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    panel.publishCatalogue(catalogue);
    panel.actions().cmdReports_Click();

    QCOMPARE(panel.list.names(), rows);
    QCOMPARE(checkedRows(panel.list), QStringList{});
    // No box, not even for an empty catalogue; the loader restores the
    // cursor, then the click handler does.
    QCOMPARE(panel.window.log,
             (QStringList{kBusy, QStringLiteral("panel:shown"), QStringLiteral("selectall:0"), kOpened, kBusy, kListed,
                          kDefault, kDefault}));
    QCOMPARE(panel.web.server().requests(), QStringList{kCatalogue});
}

void TestReportActions::secondClickListsOnce()
{
    Panel panel;
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    panel.listCatalogue("a.rpt\r\nb.rpt\r\n");
    panel.list.setChecked(1, true);
    panel.actions().cmdReports_Click();
    QCOMPARE(panel.list.names(), (QStringList{u"a.rpt"_s, u"b.rpt"_s}));
    QCOMPARE(checkedRows(panel.list), QStringList{});
    // A changed catalogue replaces the rows.
    panel.publishCatalogue("c.rpt\n");
    panel.actions().cmdReports_Click();
    QCOMPARE(panel.list.names(), QStringList{u"c.rpt"_s});
}

void TestReportActions::failedFetchKeepsRows_data()
{
    QTest::addColumn<bool>("listedBefore");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("mentions");
    QTest::newRow("first run, catalogue missing") << false << Fault::answering(404) << QStringLiteral("404");
    QTest::newRow("catalogue missing") << true << Fault::answering(404) << QStringLiteral("404");
    QTest::newRow("server error") << true << Fault::answering(500) << QStringLiteral("500");
    QTest::newRow("no answer") << true << Fault::noAnswer() << QString();
    QTest::newRow("connection cut") << true << Fault::droppedAfter(3) << QString();
    Fault notUtf8;
    notUtf8.body = "\xEF\xBB\xBF"
                   "Fees.rpt\r\n\xC3(.rpt\r\n";
    QTest::newRow("UTF-8 mark, not UTF-8")
        << true << notUtf8 << QStringLiteral("filelist.txt begins with the byte-order mark of UTF-8");
}

void TestReportActions::failedFetchKeepsRows()
{
    QFETCH(bool, listedBefore);
    QFETCH(Fault, fault);
    QFETCH(QString, mentions);
    Panel panel(700);
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    const QByteArray catalogue = "a.rpt\r\nb.rpt\r\nc.rpt\r\n";
    if (listedBefore)
        panel.listCatalogue(catalogue);
    else
        panel.publishCatalogue(catalogue);
    panel.web.server().setFault(kCatalogue, fault);

    panel.actions().cmdReports_Click();

    QCOMPARE(panel.list.names(), (listedBefore ? QStringList{u"a.rpt"_s, u"b.rpt"_s, u"c.rpt"_s} : QStringList{}));
    const QStringList &log = panel.window.log;
    QCOMPARE(log.size(), 8);
    // The 8000-twip column stays; the box comes once, before the cursor.
    QCOMPARE(log.mid(0, 5),
             (QStringList{kBusy, QStringLiteral("panel:shown"), QStringLiteral("selectall:0"), kOpened, kBusy}));
    const QString prefix = QStringLiteral("box:plain:Updater:Error loading file list: ");
    QVERIFY2(log.at(5).startsWith(prefix) && log.at(5).size() > prefix.size(), qPrintable(log.at(5)));
    QVERIFY2(log.at(5).contains(mentions), qPrintable(log.at(5)));
    QCOMPARE(log.mid(6), (QStringList{kDefault, kDefault}));
}

void TestReportActions::clickClearsCheckedSelectAll_data()
{
    QTest::addColumn<bool>("selectAll");
    QTest::addColumn<QStringList>("checkedAfter");
    QTest::newRow("Select All checked: every row cleared") << true << QStringList{};
    QTest::newRow("Select All clear: rows left alone") << false << QStringList{u"b.rpt"_s};
}

void TestReportActions::clickClearsCheckedSelectAll()
{
    QFETCH(bool, selectAll);
    QFETCH(QStringList, checkedAfter);
    Panel panel;
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    panel.listCatalogue("a.rpt\nb.rpt\nc.rpt\n");
    if (selectAll) {
        panel.window.setSelectAllChecked(true);
    } else {
        panel.list.setChecked(1, true);
        panel.list.selectionModel()->select(panel.list.index(1), QItemSelectionModel::Select);
    }
    // A failed fetch keeps the rows, so what the click did to them shows.
    Fault missing;
    missing.status = 404;
    panel.web.server().setFault(kCatalogue, missing);
    panel.actions().cmdReports_Click();

    QVERIFY(!panel.window.selectAllChecked());
    QCOMPARE(panel.list.count(), 3);
    QCOMPARE(checkedRows(panel.list), checkedAfter);
    QCOMPARE(panel.list.isSelected(1), !selectAll);
    QCOMPARE(panel.list.isSelected(0), false);
}

void TestReportActions::largeCatalogueListsEveryRow()
{
    Panel panel;
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    QByteArray catalogue;
    for (int i = 0; i < 100'000; ++i)
        catalogue += "Report " + QByteArray::number(i) + ".rpt\r\n";
    panel.publishCatalogue(catalogue);

    panel.actions().cmdReports_Click();

    QCOMPARE(panel.list.count(), 100'000);
    QCOMPARE(panel.list.name(32'767), QStringLiteral("Report 32767.rpt"));
    QCOMPARE(panel.list.name(99'999), QStringLiteral("Report 99999.rpt"));
    QCOMPARE(panel.window.boxes(), QStringList{});
}

void TestReportActions::download_data()
{
    QTest::addColumn<QStringList>("checked");
    QTest::addColumn<QStringList>("published");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("failed");
    const QStringList all{u"one.rpt"_s, u"two.rpt"_s, u"three.rpt"_s};
    QTest::newRow("three checked, second missing")
        << all << QStringList{u"one.rpt"_s, u"three.rpt"_s} << QStringList{u"one.rpt"_s, u"three.rpt"_s}
        << QStringList{u"two.rpt"_s};
    QTest::newRow("only checked rows") << QStringList{u"one.rpt"_s, u"three.rpt"_s} << all
                                       << QStringList{u"one.rpt"_s, u"three.rpt"_s} << QStringList{};
    QTest::newRow("none checked") << QStringList{} << all << QStringList{} << QStringList{};
    QTest::newRow("all missing") << all << QStringList{} << QStringList{} << all;
}

void TestReportActions::download()
{
    QFETCH(QStringList, checked);
    QFETCH(QStringList, published);
    QFETCH(QStringList, stored);
    QFETCH(QStringList, failed);
    Panel panel;
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    panel.listCatalogue("one.rpt\r\ntwo.rpt\r\nthree.rpt\r\n");
    for (const QString &name : published)
        panel.publishReport(name, "content of " + name.toUtf8());
    for (int row = 0; row < panel.list.count(); ++row)
        panel.list.setChecked(row, checked.contains(panel.list.name(row)));

    panel.downloadAndCheck(failed, checked, stored);
}

void TestReportActions::downloadIntoExistingFolder()
{
    Panel panel;
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    panel.listCatalogue("Fees.rpt\r\n");
    QVERIFY(QDir().mkpath(panel.reports()));
    writeBytes(panel.reports() + QStringLiteral("/Fees.rpt"), "last year's report");
    writeBytes(panel.reports() + QStringLiteral("/Own.rpt"), "the user's own");
    panel.publishReport(QStringLiteral("Fees.rpt"), "this year's report");
    panel.list.setChecked(0, true);

    panel.actions().cmdDownloadRpt_Click();

    QCOMPARE(panel.window.log, (QStringList{kBusy, kComplete, kDefault}));
    QCOMPARE(readBytes(panel.reports() + QStringLiteral("/Fees.rpt")), QByteArray("this year's report"));
    QCOMPARE(readBytes(panel.reports() + QStringLiteral("/Own.rpt")), QByteArray("the user's own"));
}

void TestReportActions::failedDownloadKeepsEarlierReport_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("missing") << Fault::answering(404);
    QTest::newRow("server error") << Fault::answering(503);
    QTest::newRow("cut off") << Fault::droppedAfter(1000);
    QTest::newRow("stalled") << Fault::silentAfterHeaders();
}

void TestReportActions::failedDownloadKeepsEarlierReport()
{
    QFETCH(Fault, fault);
    Panel panel(700);
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    panel.listCatalogue("Fees.rpt\r\nRoll.rpt\r\n");
    QVERIFY(QDir().mkpath(panel.reports()));
    writeBytes(panel.reports() + QStringLiteral("/Fees.rpt"), "last year's report");
    panel.publishReport(QStringLiteral("Fees.rpt"), QByteArray(100'000, 'n'));
    panel.publishReport(QStringLiteral("Roll.rpt"), "roll");
    panel.web.server().setFault(kFolder + QStringLiteral("Fees.rpt"), fault);
    panel.list.setChecked(0, true);
    panel.list.setChecked(1, true);

    panel.actions().cmdDownloadRpt_Click();

    QCOMPARE(panel.window.log, (QStringList{kBusy, panel.failed(QStringLiteral("Fees.rpt")), kComplete, kDefault}));
    QCOMPARE(readBytes(panel.reports() + QStringLiteral("/Fees.rpt")), QByteArray("last year's report"));
    QCOMPARE(QDir(panel.reports()).entryList(QDir::Files | QDir::Hidden), (QStringList{u"Fees.rpt"_s, u"Roll.rpt"_s}));
}

void TestReportActions::namesNeverLeaveTheReportsFolder()
{
    Panel panel;
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    // What a careless client would find on the host for these names.
    panel.web.publish(QStringLiteral("/Teldrin/VantoraReports/escape.txt"), "escaped");
    panel.publishReport(QStringLiteral("sub/x.rpt"), "in a sub folder");
    panel.publishReport(QStringLiteral("..\\x.rpt"), "backslash");
    panel.publishReport(QStringLiteral("C:x.rpt"), "drive");
    panel.publishReport(QStringLiteral("ok.rpt"), "fine");
    panel.listCatalogue("../escape.txt\r\nsub/x.rpt\r\n..\\x.rpt\r\nC:x.rpt\r\n/etc/passwd\r\n.\r\n..\r\nok.rpt\r\n");
    QCOMPARE(panel.list.count(), 8);
    panel.list.setAllChecked(true);
    const QString scratch = panel.web.path(QString());
    const QStringList before = tree(scratch);

    panel.actions().cmdDownloadRpt_Click();

    // Each box names the report and says why.
    const auto refused = [&](const QString &encoded, const QString &name, const QString &why) {
        return panel.failed(encoded) + u"\n\nThe report \"%1\" is not downloaded: %2."_s.arg(name, why);
    };
    const QString slash = u"its name holds \"/\", which separates folders"_s;
    QCOMPARE(panel.window.log,
             (QStringList{kBusy, refused(u"..%2Fescape.txt"_s, u"../escape.txt"_s, slash),
                          refused(u"sub%2Fx.rpt"_s, u"sub/x.rpt"_s, slash),
                          refused(u"..%5Cx.rpt"_s, u"..\\x.rpt"_s, u"its name holds \"\\\", which separates folders"_s),
                          refused(u"C:x.rpt"_s, u"C:x.rpt"_s,
                                  u"its name holds \":\", which names a drive or a stream on Windows"_s),
                          refused(u"%2Fetc%2Fpasswd"_s, u"/etc/passwd"_s, slash),
                          refused(u"."_s, u"."_s, u"its name \".\" names a folder"_s),
                          refused(u".."_s, u".."_s, u"its name \"..\" names a folder"_s), kComplete, kDefault}));
    QCOMPARE(panel.web.server().requests(), QStringList{kFolder + QStringLiteral("ok.rpt")});
    QStringList after = before + QStringList{u"app/Reports"_s, u"app/Reports/ok.rpt"_s};
    after.sort();
    QCOMPARE(tree(scratch), after);
    QCOMPARE(readBytes(panel.reports() + QStringLiteral("/ok.rpt")), QByteArray("fine"));
}

void TestReportActions::namesAreOnePathSegment()
{
    Panel panel;
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    const QStringList names{u"Class List.rpt"_s, u"50%.rpt"_s,       u"Fees #2.rpt"_s,
                            u"What?.rpt"_s,      u"a+b&c=d;e.rpt"_s, u"%41.rpt"_s};
    QByteArray catalogue;
    for (const QString &name : names) {
        panel.publishReport(name, "content of " + name.toUtf8());
        catalogue += name.toUtf8() + "\r\n";
    }
    // What a name would mean if it reached the host unencoded.
    panel.publishReport(QStringLiteral("50"), "wrong");
    panel.publishReport(QStringLiteral("A.rpt"), "wrong");
    catalogue += "Not There #1 ?.rpt\r\n";
    panel.listCatalogue(catalogue);
    panel.list.setAllChecked(true);

    panel.actions().cmdDownloadRpt_Click();

    // The box shows blanks as blanks, and what would change the address encoded.
    QCOMPARE(panel.window.log,
             (QStringList{kBusy, panel.failed(QStringLiteral("Not There %231 %3F.rpt")), kComplete, kDefault}));
    for (const QString &name : names)
        QCOMPARE(readBytes(panel.reports() + QLatin1Char('/') + name), "content of " + name.toUtf8());
    QCOMPARE(panel.web.server().requests(),
             (QStringList{kFolder + u"Class%20List.rpt"_s, kFolder + u"50%25.rpt"_s, kFolder + u"Fees%20%232.rpt"_s,
                          kFolder + u"What%3F.rpt"_s, kFolder + u"a+b&c=d;e.rpt"_s, kFolder + u"%2541.rpt"_s,
                          kFolder + u"Not%20There%20%231%20%3F.rpt"_s}));
}

void TestReportActions::namesOutsideAscii_data()
{
    QTest::addColumn<QByteArray>("catalogue");
    QTest::addColumn<QByteArray>("codePage"); // empty: the system's (UTF-8 here)
    QTest::addColumn<QStringList>("requested");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("failed"); // the boxes' URLs after the folder, and why
    const QByteArray eleve = QString::fromUtf16(u"\u00c9l\u00e8ve.rpt").toUtf8();
    const QString encodedEleve = u"%C3%89l%C3%A8ve.rpt"_s;
    const QStringList both{QString::fromUtf16(u"\u00c9l\u00e8ve.rpt"), u"Fees.rpt"_s};
    QTest::newRow("UTF-8 mark: the name whole, in any code page")
        << "\xEF\xBB\xBF" + eleve + "\r\nFees.rpt\r\n"
        << QByteArray("windows-1252") << QStringList{encodedEleve, u"Fees.rpt"_s} << both << QStringList{};
    QTest::newRow("no mark, UTF-8 code page")
        << eleve + "\r\nFees.rpt\r\n"
        << QByteArray() << QStringList{encodedEleve, u"Fees.rpt"_s} << both << QStringList{};
    // The UTF-8 bytes read as windows-1252 are printable: the name is
    // asked for as the catalogue spells it, never as "lve.rpt".
    QTest::newRow("no mark, Western code page: never the stripped name")
        << eleve + "\r\nFees.rpt\r\n"
        << QByteArray("windows-1252") << QStringList{u"%C3%83%E2%80%B0l%C3%83%C2%A8ve.rpt"_s, u"Fees.rpt"_s}
        << QStringList{u"Fees.rpt"_s} << QStringList{QString::fromUtf16(u"\u00c3\u2030l\u00c3\u00a8ve.rpt")};
    const QString refused = u"\n\nThe report \"%1\" is not downloaded: %2."_s;
    // What the row drops is no part of the name: a stray mark, a tab or a
    // control character, or a direction override.
    QTest::newRow("byte-order mark, tab, control character: fetched as shown")
        << QByteArray("Fees.rpt\r\n\xEF\xBB\xBFRo\tll.rpt\r\nRo\x01ll.rpt\r\n") << QByteArray()
        << QStringList{u"Fees.rpt"_s, u"Roll.rpt"_s, u"Roll.rpt"_s} << QStringList{u"Fees.rpt"_s, u"Roll.rpt"_s}
        << QStringList{};
    QTest::newRow("device, dot at the end: refused; a direction override dropped")
        << QByteArray("\xEF\xBB\xBFRoll\xE2\x80\xAEtpr.exe\r\nCON.rpt\r\nFees.rpt.\r\nRoll.rpt\r\n") << QByteArray()
        << QStringList{u"Rolltpr.exe"_s, u"Roll.rpt"_s} << QStringList{u"Roll.rpt"_s, u"Rolltpr.exe"_s}
        << QStringList{u"CON.rpt"_s + refused.arg(u"CON.rpt"_s, u"Windows reserves the name CON for a device"_s),
                       u"Fees.rpt."_s
                           + refused.arg(
                               u"Fees.rpt."_s,
                               u"its name ends in a dot, which Windows drops, so it would be saved as another file"_s)};
}

void TestReportActions::namesOutsideAscii()
{
    QFETCH(QByteArray, catalogue);
    QFETCH(QByteArray, codePage);
    QFETCH(QStringList, requested);
    QFETCH(QStringList, stored);
    QFETCH(QStringList, failed);
    TextRules::useCodePage(codePage);
    const auto systemCodePage = qScopeGuard([] { TextRules::useCodePage({}); });
    Panel panel;
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    // Every name the catalogue's lines could be taken for, and the name
    // its text rules would once have made of them.
    const QStringList onHost{QString::fromUtf16(u"\u00c9l\u00e8ve.rpt"),
                             u"lve.rpt"_s,
                             u"Fees.rpt"_s,
                             u"Roll.rpt"_s,
                             u"Rolltpr.exe"_s,
                             u"CON.rpt"_s,
                             u"Fees.rpt."_s};
    for (const QString &name : onHost)
        panel.publishReport(name, "content of " + name.toUtf8());
    panel.listCatalogue(catalogue);
    panel.list.setAllChecked(true);

    panel.downloadAndCheck(failed, requested, stored);
}

void TestReportActions::reportsFolderProblems()
{
    Panel panel;
    QVERIFY2(panel.web.ok(), qPrintable(panel.web.error()));
    panel.listCatalogue("one.rpt\r\ntwo.rpt\r\n");
    panel.publishReport(QStringLiteral("one.rpt"), "one");
    panel.publishReport(QStringLiteral("two.rpt"), "two");
    panel.list.setAllChecked(true);

    // The folder cannot be made: the trap ends the click before any transfer.
    const QString missing = panel.web.path(QStringLiteral("gone"));
    panel.actions(missing).cmdDownloadRpt_Click();
    QCOMPARE(panel.window.log.size(), 3);
    QCOMPARE(panel.window.log.at(0), kBusy);
    QVERIFY2(panel.window.log.at(1).startsWith(QStringLiteral("box:critical:Message LIST :75 : ")),
             qPrintable(panel.window.log.at(1)));
    QVERIFY2(panel.window.log.at(1).contains(QStringLiteral("Reports")), qPrintable(panel.window.log.at(1)));
    QCOMPARE(panel.window.log.at(2), kDefault);
    QCOMPARE(panel.web.server().requests(), QStringList{});
    QVERIFY(!QFileInfo::exists(missing));

    // A file where the folder belongs is left alone; every report fails.
    panel.window.log.clear();
    writeBytes(panel.reports(), "not a folder");
    panel.actions().cmdDownloadRpt_Click();
    QCOMPARE(panel.window.log,
             (QStringList{kBusy, panel.failed(QStringLiteral("one.rpt")), panel.failed(QStringLiteral("two.rpt")),
                          kComplete, kDefault}));
    QCOMPARE(readBytes(panel.reports()), QByteArray("not a folder"));
    QCOMPARE(QDir(panel.web.appFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{u"Reports"_s});
}

void TestReportActions::selectAll()
{
    RecordingServices window;
    ReportList list;
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    const Endpoints endpoints = web.endpoints();
    ReportActions actions(window, web.web(), endpoints, web.appFolder(), list);
    window.onSelectAllChanged = [&] { actions.chkAll_Click(); };

    // Nothing listed yet: nothing to do, and nothing fails.
    window.setSelectAllChecked(true);
    window.setSelectAllChecked(false);

    list.setNames({u"a.rpt"_s, u"b.rpt"_s, u"c.rpt"_s, u"d.rpt"_s});
    // Rows checked one by one, one of them highlighted, as the user would.
    list.setData(list.index(0), Qt::Checked, Qt::CheckStateRole);
    list.setData(list.index(2), Qt::Checked, Qt::CheckStateRole);
    list.selectionModel()->select(list.index(2), QItemSelectionModel::Select);
    window.log.clear();

    window.setSelectAllChecked(true);
    QCOMPARE(checkedRows(list), (QStringList{u"a.rpt"_s, u"b.rpt"_s, u"c.rpt"_s, u"d.rpt"_s}));
    for (int row = 0; row < list.count(); ++row)
        QVERIFY2(list.isSelected(row), qPrintable(list.name(row)));

    list.setData(list.index(1), Qt::Unchecked, Qt::CheckStateRole);
    window.setSelectAllChecked(false);
    QCOMPARE(checkedRows(list), QStringList{});
    for (int row = 0; row < list.count(); ++row)
        QVERIFY2(!list.isSelected(row), qPrintable(list.name(row)));
    // Neither the cursor nor the status line is touched.
    QCOMPARE(window.log, (QStringList{u"selectall:1"_s, u"selectall:0"_s}));
    QCOMPARE(web.server().requests(), QStringList{});
}

QTEST_GUILESS_MAIN(TestReportActions)
#include "tst_reportactions.moc"
