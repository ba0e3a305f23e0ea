#include "common/failure.h"
#include "common/textfiles.h"
#include "common/textlines.h"
#include "common/versionorder.h"
#include "common/webfixture.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestTextRules : public QObject
{
    Q_OBJECT
private slots:
    void lineSplitter_data();
    void lineSplitter();
    void trimBlanks_data();
    void trimBlanks();
    void readFirstLine_data();
    void readFirstLine();
    void versionOrder_data();
    void versionOrder();
    void writeLinesEndsEachWithCrLf();
    void writeLinesKeepsOldFileWhenFolderIsMissing();
};

void TestTextRules::lineSplitter_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("empty") << QString() << QStringList();
    QTest::newRow("one line, no end") << "a" << QStringList{u"a"_s};
    QTest::newRow("CR LF") << "a\r\nb\r\n" << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("lone CR") << "a\rb" << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("lone LF stays") << "a\nb\r\n" << QStringList{u"a\nb"_s};
    QTest::newRow("blank lines kept") << "\r\n\r\nx" << QStringList{u""_s, u""_s, u"x"_s};
    QTest::newRow("LF CR is LF then a line end") << "a\n\rb" << QStringList{u"a\n"_s, u"b"_s};
    QTest::newRow("CR CR LF") << "a\r\r\nb" << QStringList{u"a"_s, u""_s, u"b"_s};
}

void TestTextRules::lineSplitter()
{
    QFETCH(QString, text);
    QFETCH(QStringList, lines);
    // Whole, and cut into two pieces at every place: a CR LF cut in half
    // is still one line end. The byte form follows the same rule.
    const QByteArray bytes = text.toLatin1();
    for (qsizetype cut = 0; cut <= text.size(); ++cut) {
        QStringList got;
        TextRules::TextLineSplitter splitter;
        const TextRules::TextLineSplitter::Sink add = [&](QStringView line) { got.append(line.toString()); };
        splitter.feed(QStringView(text).first(cut), add);
        splitter.feed(QStringView(text).sliced(cut), add);
        splitter.finish(add);
        QCOMPARE(got, lines);

        QStringList gotBytes;
        TextRules::LineSplitter byteSplitter;
        const TextRules::LineSplitter::Sink addBytes
            = [&](QByteArrayView line) { gotBytes.append(QString::fromLatin1(line)); };
        byteSplitter.feed(QByteArrayView(bytes).first(cut), addBytes);
        byteSplitter.feed(QByteArrayView(bytes).sliced(cut), addBytes);
        byteSplitter.finish(addBytes);
        QCOMPARE(gotBytes, lines);
    }
}

void TestTextRules::trimBlanks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("trimmed");
    // clang-format off
    QTest::newRow("blanks") << "  1.2.0  " << "1.2.0";
    QTest::newRow("tab stays") << "\t1.2.0\t" << "\t1.2.0\t";
    QTest::newRow("CR stays") << " 1.2.0\r " << "1.2.0\r";
    QTest::newRow("only blanks") << "   " << "";
    QTest::newRow("inner blank stays") << " a b " << "a b";
    // clang-format on
}

void TestTextRules::trimBlanks()
{
    QFETCH(QString, text);
    QFETCH(QString, trimmed);
    QCOMPARE(TextRules::trimBlanks(text), trimmed);
}

void TestTextRules::readFirstLine_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("line");
    QTest::newRow("CR LF") << QByteArray("1.0.0\r\n2.0.0\r\n") << "1.0.0";
    QTest::newRow("no end") << QByteArray("1.0.0") << "1.0.0";
    QTest::newRow("LF inside") << QByteArray("1.0.0\njunk\r\n") << "1.0.0\njunk";
    QTest::newRow("empty first line") << QByteArray("\r\n1.0.0") << "";
}

void TestTextRules::readFirstLine()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, line);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("version.txt"));
    QVERIFY(writeBytes(path, content));
    QCOMPARE(TextRules::readFirstLine(path), line);
}

void TestTextRules::writeLinesEndsEachWithCrLf()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.txt"));
    TextRules::writeLines(path, {QStringLiteral("1.3.0"), QString()});
    QCOMPARE(readBytes(path), QByteArray("1.3.0\r\n\r\n"));
    try {
        TextRules::readFirstLine(dir.filePath(QStringLiteral("missing.txt")));
        QFAIL("a missing file was read");
    } catch (const Failure &failure) {
        QCOMPARE(failure.number, FailureCode::FileNotFound);
    }
}

void TestTextRules::writeLinesKeepsOldFileWhenFolderIsMissing()
{
    QTemporaryDir dir;
    try {
        TextRules::writeLines(dir.filePath(QStringLiteral("no/such/folder.txt")), {QStringLiteral("x")});
        QFAIL("writing into a missing folder succeeded");
    } catch (const Failure &failure) {
        QCOMPARE(failure.number, FailureCode::PathAccess);
        QVERIFY(failure.description.contains(QStringLiteral("folder.txt")));
    }
}

void TestTextRules::versionOrder_data()
{
    // -2: no order (not dotted numbers).
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order");
    QTest::newRow("a missing part counts as 0") << "2.1"
                                                << "2.1.0" << 0;
    QTest::newRow("number by number, not as text") << "1.9.0"
                                                   << "1.10.0" << -1;
    QTest::newRow("leading zeros") << "2.01"
                                   << "2.1" << 0;
    QTest::newRow("longer is higher") << "2.1.0.1"
                                      << "2.1" << 1;
    QTest::newRow("past 64 bits") << "99999999999999999999999.1"
                                  << "99999999999999999999998.9" << 1;
    QTest::newRow("a letter") << "2.1a"
                              << "2.0" << -2;
    QTest::newRow("an empty part") << "2..1"
                                   << "2.0" << -2;
    QTest::newRow("a tab") << "2.1\t"
                           << "2.0" << -2;
    QTest::newRow("empty") << ""
                           << "2.0" << -2;
}

void TestTextRules::versionOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    QCOMPARE(compareVersions(a, b).value_or(-2), order);
    QCOMPARE(compareVersions(b, a).value_or(-2), order == -2 ? -2 : -order);
}

QTEST_GUILESS_MAIN(TestTextRules)
#include "tst_textrules.moc"
