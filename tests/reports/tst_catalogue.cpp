#include "reports/catalogue.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestCatalogue : public QObject
{
    Q_OBJECT
private slots:
    void keepPrintable_data();
    void keepPrintable();
    void parse_data();
    void parse();
    void lineEndsGiveTheSameRows();
    void plainFileNames_data();
    void plainFileNames();
    void reportsFolder_data();
    void reportsFolder();
};

void TestCatalogue::keepPrintable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("printable ASCII unchanged") << QStringLiteral(" !azAZ09~{}") << QStringLiteral(" !azAZ09~{}");
    QTest::newRow("tab inside") << QStringLiteral("a\tb.rpt") << QStringLiteral("ab.rpt");
    QTest::newRow("controls and DEL") << QString::fromUtf16(u"\x01"
                                                            u"a\x1f"
                                                            u"b\x7f"
                                                            u"c\x00"
                                                            u"d",
                                                            8)
                                      << QStringLiteral("abcd");
    QTest::newRow("byte-order mark read as Western text")
        << QString::fromUtf16(u"\u00ef\u00bb\u00bfname.rpt") << QStringLiteral("name.rpt");
    QTest::newRow("byte-order mark as one character")
        << QString::fromUtf16(u"\ufeffname.rpt") << QStringLiteral("name.rpt");
    QTest::newRow("letters outside ASCII")
        << QString::fromUtf16(u"Zeugnis_\u00e4\u00df\u20ac.rpt") << QStringLiteral("Zeugnis_.rpt");
    QTest::newRow("character outside the basic plane") << QString::fromUtf16(u"a\U0001F600b") << QStringLiteral("ab");
    QTest::newRow("unrepresentable lone surrogate counts as ?") << QString::fromUtf16(u"a\xd800"
                                                                                      u"b",
                                                                                      3)
                                                                << QString::fromUtf16(u"a\xd800"
                                                                                      u"b",
                                                                                      3);
    QTest::newRow("empty") << QString() << QString();
}

void TestCatalogue::keepPrintable()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(Catalogue::KeepPrintable(text), expected);
}

void TestCatalogue::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("blanks around a name") << QStringLiteral("   a.rpt  \n") << QStringList{u"a.rpt"_s};
    QTest::newRow("blank inside kept") << QStringLiteral("Class List.rpt") << QStringList{u"Class List.rpt"_s};
    QTest::newRow("tab inside dropped") << QStringLiteral("Class\tList.rpt") << QStringList{u"ClassList.rpt"_s};
    // Blanks are stripped before the other characters are dropped, so a
    // blank that only a tab separated from the end stays.
    QTest::newRow("tab shields a blank") << QStringLiteral("\t a.rpt \t") << QStringList{u" a.rpt "_s};
    QTest::newRow("leading byte-order mark")
        << QString::fromUtf16(u"\ufeffa.rpt\nb.rpt") << QStringList{u"a.rpt"_s, u"b.rpt"_s};
    QTest::newRow("lines of blanks only")
        << QStringLiteral("a.rpt\n    \n\n  \r\nb.rpt") << QStringList{u"a.rpt"_s, u"b.rpt"_s};
    QTest::newRow("only blank lines") << QStringLiteral(" \r\n\r\n   ") << QStringList{};
    QTest::newRow("empty catalogue") << QString() << QStringList{};
    QTest::newRow("lone CR joins its neighbours") << QStringLiteral("a\rb.rpt") << QStringList{u"ab.rpt"_s};
    QTest::newRow("catalogue order and repeats kept")
        << QStringLiteral("z.rpt\na.rpt\nz.rpt") << QStringList{u"z.rpt"_s, u"a.rpt"_s, u"z.rpt"_s};
    QTest::newRow("line of controls only") << QStringLiteral("\t\x01\nx") << QStringList{u"x"_s};
}

void TestCatalogue::parse()
{
    QFETCH(QString, text);
    QFETCH(QStringList, expected);
    QCOMPARE(Catalogue::parse(text), expected);
}

void TestCatalogue::lineEndsGiveTheSameRows()
{
    const QStringList lf = Catalogue::parse(QStringLiteral("Report One.rpt\n  Fees.rpt\nAttendance.rpt\n"));
    QCOMPARE(lf, (QStringList{u"Report One.rpt"_s, u"Fees.rpt"_s, u"Attendance.rpt"_s}));
    QCOMPARE(Catalogue::parse(QStringLiteral("Report One.rpt\r\n  Fees.rpt\r\nAttendance.rpt\r\n")), lf);
    QCOMPARE(Catalogue::parse(QStringLiteral("Report One.rpt\r\n  Fees.rpt\nAttendance.rpt")), lf);
}

void TestCatalogue::plainFileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("plain");
    QTest::newRow("ordinary") << "Fees.rpt" << true;
    QTest::newRow("blank, percent, hash, question mark") << "50% Fees #2 ?.rpt" << true;
    QTest::newRow("leading dots") << "..rpt" << true;
    QTest::newRow("three dots") << "..." << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("parent folder") << "../escape.txt" << false;
    QTest::newRow("sub folder") << "sub/x.rpt" << false;
    QTest::newRow("backslash parent") << "..\\x.rpt" << false;
    QTest::newRow("backslash only") << "a\\b" << false;
    QTest::newRow("drive relative") << "C:x.rpt" << false;
    QTest::newRow("stream") << "x.rpt:hidden" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("control character") << "a\nb" << false;
}

void TestCatalogue::plainFileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, plain);
    QCOMPARE(Catalogue::isPlainFileName(name), plain);
}

void TestCatalogue::reportsFolder_data()
{
    QTest::addColumn<QString>("appFolder");
    QTest::addColumn<QString>("expected");
    // clang-format off
    QTest::newRow("folder") << "/opt/vantora" << "/opt/vantora/Reports";
    QTest::newRow("folder with separator") << "/opt/vantora/" << "/opt/vantora/Reports";
    QTest::newRow("root") << "/" << "/Reports";
    QTest::newRow("drive root") << "C:\\" << "C:\\Reports";
    // clang-format on
}

void TestCatalogue::reportsFolder()
{
    QFETCH(QString, appFolder);
    QFETCH(QString, expected);
    QCOMPARE(Catalogue::reportsFolder(appFolder), expected);
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
