// Reading LATEST.sql from disk a piece at a time gives exactly the text the
// whole-bytes rule gives, wherever the pieces happen to split a line end.
#include "common/webfixture.h"
#include "sp/sqlscript.h"

#include <QTemporaryDir>
#include <QTest>

class TestScriptFile : public QObject
{
    Q_OBJECT
private slots:
    void sameTextAsWholeBytes_data();
    void sameTextAsWholeBytes();
};

void TestScriptFile::sameTextAsWholeBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const qsizetype piece = 1024 * 1024; // the size the reader reads at a time
    const QByteArray fill(piece - 1, 'a');
    QTest::newRow("CR LF split across pieces") << fill + "\r\nGO\r\nb";
    QTest::newRow("CR ends the first piece, lone") << fill + "\rb\r\n";
    QTest::newRow("CR ends the file") << fill + "\r";
    QTest::newRow("LF starts the second piece") << QByteArray(piece, 'c') + "\nstill the same line\r\n";
    QTest::newRow("mark after a split line end") << fill + "\r\n\xEF\xBB\xBFGO\r\nx";
    QTest::newRow("one line over three pieces") << QByteArray(3 * piece + 5, 'l');
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("small, no final line end") << QByteArray("SELECT 1\r\nGO\r\nSELECT 2");
    // A Unicode file by its mark: characters and line ends cut between
    // pieces.
    QTest::newRow("UTF-8: a character cut")
        << QByteArray("\xEF\xBB\xBF") + QByteArray(piece - 4, 'a') + "\xC3\xA9\r\nb";
    QByteArray units; // UTF-16 code units up to two bytes before a piece ends
    for (qsizetype i = 0; i < piece / 2 - 2; ++i)
        units += QByteArray("a\0", 2);
    QTest::newRow("UTF-16: a surrogate pair cut") << QByteArray("\xFF\xFE") + units + QByteArray("\x3D\xD8\x00\xDE", 4);
    QTest::newRow("UTF-16: CR LF cut") << QByteArray("\xFF\xFE") + units + QByteArray("\r\0\n\0b\0", 6);
}

void TestScriptFile::sameTextAsWholeBytes()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("LATEST.sql"));
    QVERIFY(writeBytes(path, bytes));
    const QString fromFile = SqlScript::readFile(path);
    const QString fromBytes = SqlScript::text(bytes);
    QCOMPARE(fromFile.size(), fromBytes.size());
    QVERIFY(fromFile == fromBytes);
    // The views cut the same batches as the copying form.
    const QList<QStringView> views = SqlScript::batchViews(fromFile);
    const QStringList copies = SqlScript::batches(fromFile);
    QCOMPARE(views.size(), copies.size());
    for (qsizetype i = 0; i < views.size(); ++i)
        QVERIFY(views.at(i) == copies.at(i));
}

QTEST_GUILESS_MAIN(TestScriptFile)
#include "tst_scriptfile.moc"
