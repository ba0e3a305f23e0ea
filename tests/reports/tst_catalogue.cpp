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
    void refusal_data();
    void refusal();
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
    // The three characters are printable: the name is kept whole and is
    // never fetched as "name.rpt". (A catalogue that begins with the mark is
    // read as UTF-8 and never shows them.)
    QTest::newRow("byte-order mark read as Western text kept")
        << QString::fromUtf16(u"\u00ef\u00bb\u00bfname.rpt") << QString::fromUtf16(u"\u00ef\u00bb\u00bfname.rpt");
    QTest::newRow("byte-order mark as one character")
        << QString::fromUtf16(u"\ufeffname.rpt") << QStringLiteral("name.rpt");
    QTest::newRow("letters outside ASCII kept")
        << QString::fromUtf16(u"Zeugnis_\u00e4\u00df\u20ac \u00c9l\u00e8ve \u5b66\u751f.rpt")
        << QString::fromUtf16(u"Zeugnis_\u00e4\u00df\u20ac \u00c9l\u00e8ve \u5b66\u751f.rpt");
    QTest::newRow("combining accent and no-break space kept")
        << QString::fromUtf16(u"E\u0301le\u0300ve\u00a0A.rpt") << QString::fromUtf16(u"E\u0301le\u0300ve\u00a0A.rpt");
    QTest::newRow("character outside the basic plane kept")
        << QString::fromUtf16(u"a\U0001F600b") << QString::fromUtf16(u"a\U0001F600b");
    QTest::newRow("C1 control, direction override, zero-width space, line separator")
        << QString::fromUtf16(u"a\u0085b\u202ec\u200bd\u2028e") << QStringLiteral("abcde");
    QTest::newRow("private use, replacement character, tag character")
        << QString::fromUtf16(u"a\ue000b\ufffdc\U000E0041d") << QStringLiteral("abcd");
    QTest::newRow("lone surrogates dropped") << QString::fromUtf16(u"a\xd800"
                                                                   u"b\xdc00",
                                                                   4)
                                             << QStringLiteral("ab");
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
    QCOMPARE(Catalogue::shownNames(Catalogue::parse(text)), expected);
}

void TestCatalogue::lineEndsGiveTheSameRows()
{
    const QList<Catalogue::Entry> lf = Catalogue::parse(QStringLiteral("Report One.rpt\n  Fees.rpt\nAttendance.rpt\n"));
    QCOMPARE(Catalogue::shownNames(lf), (QStringList{u"Report One.rpt"_s, u"Fees.rpt"_s, u"Attendance.rpt"_s}));
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
    // Windows drops dots at the end of a name: "..." and "Fees.rpt." would
    // be saved as another file.
    QTest::newRow("three dots") << "..." << false;
    QTest::newRow("dot at the end") << "Fees.rpt." << false;
    QTest::newRow("letters outside ASCII") << QString::fromUtf16(u"\u00c9l\u00e8ve.rpt") << true;
    QTest::newRow("device") << "CON" << false;
    QTest::newRow("device with extension, any case") << "nul.rpt" << false;
    QTest::newRow("numbered devices") << "COM1.rpt" << false;
    QTest::newRow("numbered device, superscript") << QString::fromUtf16(u"lpt\u00b9.txt") << false;
    QTest::newRow("device, blank before the extension") << "AUX .rpt" << false;
    QTest::newRow("console device") << "CONOUT$.rpt" << false;
    QTest::newRow("longer than a device") << "CONSOLE.rpt" << true;
    QTest::newRow("COM10") << "COM10.rpt" << true;
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
    QTest::newRow("DEL") << "a\x7f"
                            "b"
                         << false;
}

void TestCatalogue::plainFileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, plain);
    QCOMPARE(Catalogue::isPlainFileName(name), plain);
}

void TestCatalogue::refusal_data()
{
    QTest::addColumn<QString>("published");
    QTest::addColumn<QString>("reason"); // empty: downloaded under this name
    QTest::newRow("ASCII") << u"Class List.rpt"_s << QString();
    QTest::newRow("letters outside ASCII") << QString::fromUtf16(u"\u00c9l\u00e8ve.rpt") << QString();
    QTest::newRow("folder part") << u"../x.rpt"_s << u"its name holds \"/\", which separates folders"_s;
    QTest::newRow("drive") << u"C:x.rpt"_s << u"its name holds \":\", which names a drive or a stream on Windows"_s;
    QTest::newRow("dot dot") << u".."_s << u"its name \"..\" names a folder"_s;
    QTest::newRow("dot at the end")
        << u"Fees.rpt."_s << u"its name ends in a dot, which Windows drops, so it would be saved as another file"_s;
    QTest::newRow("device") << u"com7.rpt"_s << u"Windows reserves the name COM7 for a device"_s;
}

void TestCatalogue::refusal()
{
    QFETCH(QString, published);
    QFETCH(QString, reason);
    QCOMPARE(Catalogue::refusal(published), reason);
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
