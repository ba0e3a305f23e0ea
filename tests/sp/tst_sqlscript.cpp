#include "common/failure.h"
#include "common/textencoding.h"
#include "sp/sqlscript.h"

#include <QStringDecoder>
#include <QTest>

using namespace Qt::StringLiterals;

// Reading LATEST.sql into one text and cutting it into batches. The tests
// run where the system code page is UTF-8 (Qt 6 on Linux), the case in which
// the bytes FF FE do not decode to U+00FF U+00FE, and where it is
// windows-1252.
class TestSqlScript : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void byteOrderMarks_data();
    void byteOrderMarks();
    void refused_data();
    void refused();
    void batches_data();
    void batches();
    void readThenSplit();
};

namespace {
// The text in UTF-16, little- or big-endian, after its mark.
QByteArray utf16(const QString &text, bool bigEndian = false)
{
    QByteArray bytes = bigEndian ? QByteArray("\xFE\xFF") : QByteArray("\xFF\xFE");
    for (const QChar c : text) {
        const char high = char(c.unicode() >> 8);
        const char low = char(c.unicode() & 0xFF);
        bytes += bigEndian ? QByteArray{1, high} + low : QByteArray{1, low} + high;
    }
    return bytes;
}
} // namespace

void TestSqlScript::init()
{
    TextRules::useCodePage(QByteArray());
}

void TestSqlScript::byteOrderMarks_data()
{
    QTest::addColumn<QByteArray>("codePage");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    const QString bom = QString(QChar(0xFEFF));
    const QString bad = QString(QChar(0xFFFD));
    const QByteArray utf8("UTF-8");
    const QByteArray ansi("windows-1252");
    const QString eleve = QStringLiteral("N'\u00C9l\u00E8ve'");
    QTest::newRow("UTF-16 little-endian by its mark")
        << utf8 << utf16(u"SELECT 1\r\nGO\r\n"_s) << QStringLiteral("SELECT 1\r\nGO\r\n");
    QTest::newRow("UTF-16 big-endian by its mark") << utf8 << utf16(u"A\rB"_s, true) << QStringLiteral("A\r\nB\r\n");
    QTest::newRow("UTF-8 by its mark") << utf8 << QByteArray("\xEF\xBB\xBFSELECT 1") << QStringLiteral("SELECT 1\r\n");
    QTest::newRow("marks on later lines") << utf8
                                          << QByteArray("A\r\n\xFF\xFE"
                                                        "B\r\n\xEF\xBB\xBF"
                                                        "C\r\n")
                                          << QStringLiteral("A\r\nB\r\nC\r\n");
    QTest::newRow("UTF-16: a line's own mark goes")
        << utf8 << utf16(bom + u"A\r\n"_s + bom + u"B\r\n\u00FF\u00FEC\n\u00FF\u00FED"_s)
        << QStringLiteral("A\r\nB\r\nC\n\u00FF\u00FED\r\n");
    QTest::newRow("two UTF-8 marks: the file's and the first line's") << utf8
                                                                      << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF"
                                                                                    "A")
                                                                      << QStringLiteral("A\r\n");
    QTest::newRow("three UTF-8 marks: one stays") << utf8
                                                  << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF\xEF\xBB\xBF"
                                                                "A")
                                                  << bom + QStringLiteral("A\r\n");
    QTest::newRow("mark inside a line stays") << utf8
                                              << QByteArray("A\xEF\xBB\xBF"
                                                            "B")
                                              << QStringLiteral("A") + bom + u"B\r\n"_s;
    QTest::newRow("half a big-endian mark is not one") << utf8
                                                       << QByteArray("\xFE"
                                                                     "A")
                                                       << bad + QStringLiteral("A\r\n");
    QTest::newRow("mark after a lone LF is not at a line start")
        << utf8
        << QByteArray("A\n\xFF\xFE"
                      "B")
        << QStringLiteral("A\n") + bad + bad + QStringLiteral("B\r\n");
    QTest::newRow("mark after a lone CR is") << utf8
                                             << QByteArray("A\r\xFF\xFE"
                                                           "B")
                                             << QStringLiteral("A\r\nB\r\n");
    QTest::newRow("UTF-16 mark alone on the first line") << utf8
                                                         << QByteArray("\xFF\xFE\r\x00\n\x00"
                                                                       "A\x00",
                                                                       8)
                                                         << QStringLiteral("\r\nA\r\n");
    QTest::newRow("a UTF-32 little-endian mark is UTF-16's and a U+0000")
        << utf8 << QByteArray("\xFF\xFE\0\0A\0", 6) << u"\0A\r\n"_s;
    QTest::newRow("a UTF-32 big-endian mark is none") << utf8
                                                      << QByteArray("\0\0\xFE\xFF"
                                                                    "A",
                                                                    5)
                                                      << u"\0\0"_s + bad + bad + u"A\r\n"_s;
    QTest::newRow("only a mark") << utf8 << QByteArray("\xEF\xBB\xBF") << QString();
    QTest::newRow("half a mark stays") << utf8
                                       << QByteArray("\xFF"
                                                     "A")
                                       << bad + QStringLiteral("A\r\n");
    QTest::newRow("UTF-8 text after the mark") << utf8
                                               << QByteArray("\xEF\xBB\xBF"
                                                             "-- \xC3\xA9t\xC3\xA9")
                                               << QStringLiteral("-- \u00E9t\u00E9\r\n");
    QTest::newRow("empty file") << utf8 << QByteArray() << QString();
    // Where the system code page is windows-1252, as on Western European
    // Windows.
    QTest::newRow("windows-1252: ANSI text") << ansi << QByteArray("N'\xC9l\xE8ve'") << eleve + u"\r\n"_s;
    QTest::newRow("windows-1252: UTF-8 by its mark")
        << ansi << QByteArray("\xEF\xBB\xBFN'\xC3\x89l\xC3\xA8ve'\r\n") << eleve + u"\r\n"_s;
    QTest::newRow("windows-1252: UTF-8 without a mark is ANSI")
        << ansi << QByteArray("N'\xC3\x89l\xC3\xA8ve'") << QStringLiteral("N'\u00C3\u2030l\u00C3\u00A8ve'\r\n");
    QTest::newRow("windows-1252: UTF-16 by its mark") << ansi << utf16(eleve) << eleve + u"\r\n"_s;
    QTest::newRow("windows-1252: a later line's marks") << ansi
                                                        << QByteArray("A\r\n\xFF\xFE"
                                                                      "B\r\n\xEF\xBB\xBF"
                                                                      "C")
                                                        << QStringLiteral("A\r\nB\r\nC\r\n");
}

void TestSqlScript::byteOrderMarks()
{
    QFETCH(QByteArray, codePage);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    // A Qt built without ICU (the Windows build) knows windows-1252 only
    // as the system's code page, which it is where those tests run.
    TextRules::useCodePage(QStringDecoder(codePage.constData()).isValid() ? codePage : QByteArray());
    QCOMPARE(SqlScript::text(bytes), expected);
}

void TestSqlScript::refused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("encoding");
    const QString utf8 = QStringLiteral("UTF-8");
    QTest::newRow("UTF-8: a byte no UTF-8 text holds") << QByteArray("\xEF\xBB\xBFN'\xC9l\xE8ve'") << utf8;
    QTest::newRow("UTF-8: the last character cut short") << QByteArray("\xEF\xBB\xBF\xC3") << utf8;
    QTest::newRow("UTF-8: an encoded surrogate") << QByteArray("\xEF\xBB\xBF\xED\xA0\x80") << utf8;
    QTest::newRow("UTF-16: an odd number of bytes")
        << QByteArray("\xFF\xFE\x41\x00\x42", 5) << QStringLiteral("UTF-16 (little-endian)");
    QTest::newRow("UTF-16: an unpaired surrogate")
        << QByteArray("\xFF\xFE\x00\xD8\x41\x00", 6) << QStringLiteral("UTF-16 (little-endian)");
    QTest::newRow("UTF-16 big-endian: a last surrogate alone")
        << QByteArray("\xFE\xFF\x00\x41\xD8\x00", 6) << QStringLiteral("UTF-16 (big-endian)");
}

void TestSqlScript::refused()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, encoding);
    try {
        SqlScript::text(bytes);
        QFAIL("the script was read");
    } catch (const Failure &failure) {
        QCOMPARE(failure.number, FailureCode::InvalidText);
        QCOMPARE(failure.description,
                 QStringLiteral("LATEST.sql begins with the byte-order mark of %1 but is not "
                                "valid %1 text. Save it again as %1, or as ANSI text without a "
                                "mark.")
                     .arg(encoding));
    }
}

void TestSqlScript::batches_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected");
    const QString whole = QStringLiteral("A\r\n%1\r\nB\r\n");
    auto unsplit = [&](const QString &line) {
        QTest::addRow("%s does not split", qPrintable(QLatin1Char('"') + line + QLatin1Char('"')))
            << whole.arg(line) << QStringList{whole.arg(line)};
    };
    QTest::newRow("a GO line splits") << whole.arg(u"GO"_s) << QStringList{u"A"_s, u"B\r\n"_s};
    unsplit(QStringLiteral("go"));
    unsplit(QStringLiteral("Go"));
    unsplit(QStringLiteral("GO  "));
    unsplit(QStringLiteral(" GO"));
    unsplit(QStringLiteral("GO\t"));
    unsplit(QStringLiteral("GOTO x"));
    unsplit(QStringLiteral("SELECT 'GO'"));
    QTest::newRow("a first line GO does not split") << QStringLiteral("GO\r\nA\r\n") << QStringList{u"GO\r\nA\r\n"_s};
    QTest::newRow("nor after leading blanks") << QStringLiteral("  GO\r\nA\r\n") << QStringList{u"GO\r\nA\r\n"_s};
    QTest::newRow("two GO lines: the second starts the next batch")
        << QStringLiteral("A\r\nGO\r\nGO\r\nB\r\n") << QStringList{u"A"_s, u"GO\r\nB\r\n"_s};
    QTest::newRow("three GO lines") << QStringLiteral("A\r\nGO\r\nGO\r\nGO\r\nB")
                                    << QStringList{u"A"_s, u"GO"_s, u"B"_s};
    QTest::newRow("a trailing GO leaves an empty last batch")
        << QStringLiteral("A\r\nGO\r\nB\r\nGO\r\n") << QStringList{u"A"_s, u"B"_s, u""_s};
    QTest::newRow("a final GO without line end stays") << QStringLiteral("A\r\nGO") << QStringList{u"A\r\nGO"_s};
    QTest::newRow("LF-only lines do not split") << QStringLiteral("A\nGO\nB\n") << QStringList{u"A\nGO\nB\n"_s};
    QTest::newRow("lone CRs do not split") << QStringLiteral("A\rGO\rB") << QStringList{u"A\rGO\rB"_s};
    QTest::newRow("no separator: one batch") << QStringLiteral("SELECT 1\r\n") << QStringList{u"SELECT 1\r\n"_s};
    QTest::newRow("blanks around the text go") << QStringLiteral("  A\r\nGO\r\nB  ") << QStringList{u"A"_s, u"B"_s};
    QTest::newRow("tabs around the text stay") << QStringLiteral("\tA\r\nGO\r\nB\t") << QStringList{u"\tA"_s, u"B\t"_s};
    QTest::newRow("blanks inside batches stay")
        << QStringLiteral("A  \r\nGO\r\n  B") << QStringList{u"A  "_s, u"  B"_s};
    QTest::newRow("empty text: one empty batch") << QString() << QStringList{QString()};
}

void TestSqlScript::batches()
{
    QFETCH(QString, text);
    QFETCH(QStringList, expected);
    QCOMPARE(SqlScript::batches(text), expected);
}

void TestSqlScript::readThenSplit()
{
    // A file whose last line is GO: every line gets its CR LF, so the last
    // batch is empty; a mark before a GO line does not stop it separating.
    const QByteArray file("CREATE TABLE t (n int)\nGO\r\n\xFF\xFEGO\r\n\xEF\xBB\xBFINSERT INTO t VALUES (1)\rGO");
    QCOMPARE(SqlScript::batches(SqlScript::text(file)),
             (QStringList{u"CREATE TABLE t (n int)\nGO"_s, u"INSERT INTO t VALUES (1)"_s, u""_s}));
}

QTEST_GUILESS_MAIN(TestSqlScript)
#include "tst_sqlscript.moc"
