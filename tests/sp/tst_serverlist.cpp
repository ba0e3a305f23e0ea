#include "common/failure.h"
#include "common/recordingservices.h"
#include "sp/database.h"
#include "sp/serverlist.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestServerList : public QObject
{
    Q_OBJECT
private slots:
    void items_data();
    void items();
    void loadKeepsTheFirstItem();
    void failuresChangeNothing_data();
    void failuresChangeNothing();
    void serverNames_data();
    void serverNames();
};

void TestServerList::items_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("one server per line") << "SCHOOL-PC\\SQLEXPRESS\r\nBACKUP\r\n"
                                         << QStringList{u"SCHOOL-PC\\SQLEXPRESS"_s, u"BACKUP"_s};
    QTest::newRow("a comma separates") << "a,b" << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("quotes keep a comma") << "\"x, y\"" << QStringList{u"x, y"_s};
    QTest::newRow("quoted items among others")
        << "a,\"b,c\",d\r\n\"e\"" << QStringList{u"a"_s, u"b,c"_s, u"d"_s, u"e"_s};
    QTest::newRow("blanks before an item are skipped") << "  a,  b\r\n   c" << QStringList{u"a"_s, u"b"_s, u"c"_s};
    QTest::newRow("blanks after an item stay") << "a ,b " << QStringList{u"a "_s, u"b "_s};
    QTest::newRow("tabs are not blanks") << "\ta" << QStringList{u"\ta"_s};
    QTest::newRow("text after a closing quote is dropped") << "\"x\"junk,b" << QStringList{u"x"_s, u"b"_s};
    QTest::newRow("a quoted item runs over a line end") << "\"a\r\nb\",c" << QStringList{u"a\r\nb"_s, u"c"_s};
    QTest::newRow("an unclosed quote runs to the end") << "\"abc\r\nd" << QStringList{u"abc\r\nd"_s};
    QTest::newRow("a quote inside an item stays") << "a\"b" << QStringList{u"a\"b"_s};
    QTest::newRow("a lone CR ends an item") << "a\rb" << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("a lone LF does not") << "a\nb" << QStringList{u"a\nb"_s};
    QTest::newRow("an empty line is an empty item") << "a\r\n\r\nb" << QStringList{u"a"_s, u""_s, u"b"_s};
    QTest::newRow("a comma before a line end") << "a,\r\nb" << QStringList{u"a"_s, u""_s, u"b"_s};
    QTest::newRow("a comma at the end starts nothing") << "a," << QStringList{u"a"_s};
    QTest::newRow("blanks only: one empty item") << "   " << QStringList{u""_s};
    QTest::newRow("empty text: no items") << "" << QStringList{};
}

void TestServerList::items()
{
    QFETCH(QString, text);
    QFETCH(QStringList, expected);
    QCOMPARE(ServerList::splitItems(text), expected);
}

void TestServerList::loadKeepsTheFirstItem()
{
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("CONSTR.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray bytes = "A\\INSTANCE\r\nB\r\n";
    for (int i = 2; i < ServerList::kMaxItems; ++i)
        bytes += "s" + QByteArray::number(i) + ",";
    file.write(bytes);
    file.close();
    RecordingServices window;
    QString serverName = QStringLiteral("before");
    ServerList::load(window, folder.path(), serverName);
    QCOMPARE(serverName, QStringLiteral("A\\INSTANCE"));
    QCOMPARE(window.boxes(), QStringList{});
    QCOMPARE(window.servers().size(), ServerList::kMaxItems);
    QCOMPARE(window.servers().mid(0, 3), (QStringList{u"A\\INSTANCE"_s, u"B"_s, u"s2"_s}));
    QCOMPARE(window.servers().last(), QStringLiteral("s1000"));
}

void TestServerList::failuresChangeNothing_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file; "<dir>": a folder
    QTest::addColumn<QString>("mentions");
    QByteArray tooMany;
    for (int i = 0; i <= ServerList::kMaxItems; ++i)
        tooMany += "s" + QByteArray::number(i) + "\r\n";
    QTest::newRow("missing file") << QByteArray() << QStringLiteral("not found");
    QTest::newRow("empty file") << QByteArray("") << QStringLiteral("no server name");
    QTest::newRow("a folder in its place") << QByteArray("<dir>") << QStringLiteral("CONSTR.txt");
    QTest::newRow("1002 items") << tooMany << QStringLiteral("1001");
}

void TestServerList::failuresChangeNothing()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, mentions);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("CONSTR.txt"));
    if (content == "<dir>") {
        QVERIFY(QDir().mkdir(path));
    } else if (!content.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    RecordingServices window;
    QString serverName = QStringLiteral("earlier");
    ServerList::load(window, folder.path(), serverName);
    QCOMPARE(window.log.size(), 1);
    const QString prefix = QStringLiteral("box:critical:Updater:");
    QVERIFY2(window.log.first().startsWith(prefix), qPrintable(window.log.first()));
    QVERIFY2(window.log.first().contains(mentions, Qt::CaseInsensitive), qPrintable(window.log.first()));
    QCOMPARE(serverName, QStringLiteral("earlier"));
}

void TestServerList::serverNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("refusal"); // empty: the name may be used
    const int longest = ServerList::kMaxServerNameLength;
    // clang-format off
    QTest::newRow("instance name") << "SCHOOL-PC\\SQLEXPRESS" << QString();
    QTest::newRow("protocol, host and port") << "tcp:db.school.example,1433" << QString();
    QTest::newRow("letters beyond ASCII") << QStringLiteral("S\u00C9COLE") << QString();
    QTest::newRow("empty: the connection says so") << "" << QString();
    QTest::newRow("as long as allowed") << QString(longest, QLatin1Char('a')) << QString();
    QTest::newRow("one character longer")
        << QString(longest + 1, QLatin1Char('a')) << "is 1025 characters long; a server name has at most 1024.";
    QTest::newRow("a tab") << "\tSCHOOL" << "holds the control character U+0009 at position 1:";
    QTest::newRow("DEL") << "SCHOOL\x7F" << "holds the control character U+007F at position 7:";
    QTest::newRow("a C1 control") << QStringLiteral("SCH\u0085OOL") << "holds the control character U+0085 at position 4:";
    QTest::newRow("an undecodable byte") << QStringLiteral("SCHOOL\uFFFD")
                                         << "holds a byte the system code page cannot read at position 7:";
    QTest::newRow("a semicolon") << "SCHOOL;Initial Catalog" << "holds \";\" at position 7:";
    // clang-format on
}

void TestServerList::serverNames()
{
    QFETCH(QString, name);
    QFETCH(QString, refusal);
    try {
        ServerList::checkServerName(name);
        QVERIFY2(refusal.isEmpty(), "accepted");
    } catch (const Failure &failure) {
        QCOMPARE(failure.number, DatabaseCode::BadServerName);
        QVERIFY2(!refusal.isEmpty(), qPrintable(failure.description));
        QVERIFY2(failure.description.startsWith(QStringLiteral("The server name in CONSTR.txt ") + refusal),
                 qPrintable(failure.description));
    }
}

QTEST_GUILESS_MAIN(TestServerList)
#include "tst_serverlist.moc"
