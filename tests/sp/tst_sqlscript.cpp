#include "sp/sqlscript.h"

#include <QTest>

using namespace Qt::StringLiterals;

// Reading LATEST.sql into one text and cutting it into batches. The tests
// run where the system code page is UTF-8 (Qt 6 on Linux), the case in which
// the bytes FF FE do not decode to U+00FF U+00FE.
class TestSqlScript : public QObject
{
    Q_OBJECT
private slots:
    void byteOrderMarks_data();
    void byteOrderMarks();
    void batches_data();
    void batches();
    void readThenSplit();
};

void TestSqlScript::byteOrderMarks_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    const QString bom = QString(QChar(0xFEFF));
    const QString bad = QString(QChar(0xFFFD));
    QTest::newRow("UTF-16 mark on the first line")
        << QByteArray("\xFF\xFESELECT 1\r\nGO\r\n") << QStringLiteral("SELECT 1\r\nGO\r\n");
    QTest::newRow("UTF-8 mark on the first line")
        << QByteArray("\xEF\xBB\xBFSELECT 1") << QStringLiteral("SELECT 1\r\n");
    QTest::newRow("marks on later lines") << QByteArray("A\r\n\xFF\xFE"
                                                        "B\r\n\xEF\xBB\xBF"
                                                        "C\r\n")
                                          << QStringLiteral("A\r\nB\r\nC\r\n");
    QTest::newRow("UTF-16 mark first: the UTF-8 one after it stays") << QByteArray("\xFF\xFE\xEF\xBB\xBF"
                                                                                   "A")
                                                                     << bom + QStringLiteral("A\r\n");
    QTest::newRow("two UTF-8 marks: one goes") << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF"
                                                             "A")
                                               << bom + QStringLiteral("A\r\n");
    QTest::newRow("mark inside a line stays") << QByteArray("A\xEF\xBB\xBF"
                                                            "B")
                                              << QStringLiteral("A") + bom + u"B\r\n"_s;
    QTest::newRow("big-endian order is not a mark") << QByteArray("\xFE\xFF"
                                                                  "A")
                                                    << bad + bad + QStringLiteral("A\r\n");
    QTest::newRow("mark after a lone LF is not at a line start")
        << QByteArray("A\n\xFF\xFE"
                      "B")
        << QStringLiteral("A\n") + bad + bad + QStringLiteral("B\r\n");
    QTest::newRow("mark after a lone CR is") << QByteArray("A\r\xFF\xFE"
                                                           "B")
                                             << QStringLiteral("A\r\nB\r\n");
    QTest::newRow("mark alone on a line") << QByteArray("\xFF\xFE\r\nA") << QStringLiteral("\r\nA\r\n");
    QTest::newRow("half a mark stays") << QByteArray("\xFF"
                                                     "A")
                                       << bad + QStringLiteral("A\r\n");
    QTest::newRow("UTF-8 text after the mark") << QByteArray("\xEF\xBB\xBF"
                                                             "-- \xC3\xA9t\xC3\xA9")
                                               << QStringLiteral("-- \u00E9t\u00E9\r\n");
    QTest::newRow("empty file") << QByteArray() << QString();
}

void TestSqlScript::byteOrderMarks()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(SqlScript::text(bytes), expected);
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
    const QByteArray file("\xEF\xBB\xBF"
                          "CREATE TABLE t (n int)\nGO\r\n\xFF\xFEGO\r\nINSERT INTO t VALUES (1)\rGO");
    QCOMPARE(SqlScript::batches(SqlScript::text(file)),
             (QStringList{u"CREATE TABLE t (n int)\nGO"_s, u"INSERT INTO t VALUES (1)"_s, u""_s}));
}

QTEST_GUILESS_MAIN(TestSqlScript)
#include "tst_sqlscript.moc"
