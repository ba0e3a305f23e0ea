// Bad files and a vanishing database during "Update SP", end to end: the
// local HTTPS server publishes LATEST.sql, CONSTR.txt is a real file, and
// the batches run on the local PostgreSQL server. Whatever the files hold
// and however the connection is lost, the user is told what went wrong,
// no success is claimed that did not happen, no password shows and the
// cursor comes back.
#include "common/recordingservices.h"
#include "common/spfixture.h"
#include "common/textencoding.h"
#include "sp/odbcdatabase.h"
#include "sp/serverlist.h"
#include "sp/spupdate.h"

#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {
const QString kScriptPath = QStringLiteral("/updates/LATEST.sql");
const QString kQuestion = QStringLiteral("box:question:Confirmation:Are you sure you want to execute the SQL script?");
const QString kSuccess = QStringLiteral("box:info:Updater:SQL Script Execution Completed Successfully!");
const qsizetype k50MB = 50 * 1024 * 1024;

QString errorsBox(qsizetype failed, int total)
{
    return QStringLiteral("box:warn:Updater:SQL Script Execution Completed with errors: %1 of %2 batches failed.")
        .arg(failed)
        .arg(total);
}

// 4 KiB of every byte value in a scrambled order; with or without its NULs.
QByteArray junk(bool withNul)
{
    QByteArray bytes;
    for (int i = 0; i < 4096; ++i)
        bytes += char((i * 7919) % 256);
    if (!withNul)
        bytes.replace('\0', '\x01');
    return bytes;
}

// The text (UTF-8 in the source) as UTF-16, little-endian, after its
// mark or without one.
QByteArray utf16(const char *text, bool mark = true)
{
    const QString string = QString::fromUtf8(text);
    return (mark ? QByteArray("\xFF\xFE") : QByteArray())
        + QByteArray(reinterpret_cast<const char *>(string.utf16()), string.size() * qsizetype(sizeof(char16_t)));
}
} // namespace

class TestSpFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void hostileServerList_data();
    void hostileServerList();
    void hostileScript_data();
    void hostileScript();
    void databaseGoesAway_data();
    void databaseGoesAway();
    void unicodeFiles_data();
    void unicodeFiles();

private:
    // Publishes the script (%S, in single-byte or UTF-16 text, stands for
    // the test's schema), writes CONSTR.txt and runs the action once.
    void run(QByteArray script, const QByteArray &constr, RecordingServices &window);
    // The first column of the query on the test's schema (%S), "error" when
    // it fails.
    QStringList rows(const QString &sql);

    SpFixture m_sp;
};

void TestSpFaults::initTestCase()
{
    DatabaseFixture::chooseDriver();
}

void TestSpFaults::init()
{
    if (!m_sp.start())
        return;
}

void TestSpFaults::cleanup()
{
    TextRules::useCodePage(QByteArray());
    m_sp.stop();
}

void TestSpFaults::run(QByteArray script, const QByteArray &constr, RecordingServices &window)
{
    const QString schema = m_sp.db->schema();
    script.replace("%S", schema.toLatin1());
    script.replace(utf16("%S", false), utf16(qPrintable(schema), false));
    m_sp.web->publish(kScriptPath, script);
    script.clear();
    QVERIFY(writeBytes(m_sp.web->appFolder() + QStringLiteral("/CONSTR.txt"), constr));
    const Endpoints endpoints = m_sp.web->endpoints();
    SpUpdate(window, m_sp.web->web(), endpoints, m_sp.web->appFolder(), OdbcDatabase::factory(), m_sp.serverName).run();

    // Whatever happened: no password in any text, no box or status too
    // long to read (the driver cuts a server's message that quotes a 50 MB
    // token), the default cursor after the last box.
    for (const QString &entry : std::as_const(window.log)) {
        QVERIFY2(!entry.contains(QStringLiteral("tr5kelvo")), qPrintable(entry.left(300)));
        if (entry.startsWith(QStringLiteral("box:")) || entry.startsWith(QStringLiteral("status:")))
            QVERIFY2(entry.size() < 5000, qPrintable(entry.left(300)));
    }
    QVERIFY(!window.busy());
    QCOMPARE(window.log.last(), QStringLiteral("cursor:default"));
}

QStringList TestSpFaults::rows(const QString &sql)
{
    QStringList found = m_sp.db->values(QString(sql).replace(QStringLiteral("%S"), m_sp.db->schema()));
    if (found.size() == 1 && found.first().startsWith(QStringLiteral("error")))
        return {QStringLiteral("error")};
    return found;
}

void TestSpFaults::hostileServerList_data()
{
    QTest::addColumn<QByteArray>("constr");
    QTest::addColumn<QString>("refusal"); // what the error trap says; empty: the script runs

    const QByteArray longLine(k50MB, 'a');
    QTest::newRow("binary junk") << junk(true)
                                 << QStringLiteral("holds the control character U+0000 at position 1: CONSTR.txt must "
                                                   "be a plain text file");
    QTest::newRow("NUL bytes after the name")
        << QByteArray("127.0.0.1\0\0\r\n", 13) << QStringLiteral("holds the control character U+0000 at position 10");
    QTest::newRow("a NUL byte inside the name")
        << QByteArray("127.0\0.0.1\r\n", 12) << QStringLiteral("holds the control character U+0000 at position 6");
    QTest::newRow("saved as Unicode (UTF-16) without its mark")
        << utf16("127.0.0.1\r\n", false) << QStringLiteral("holds the control character U+0000 at position 2");
    QTest::newRow("a single 50 MB line") << longLine
                                         << QStringLiteral(
                                                "is 52428800 characters long; a server name has at most 1024.");
    QTest::newRow("a name and 50 MB of blanks, no line end") << QByteArray("127.0.0.1")
            + QByteArray(k50MB, ' ') << QStringLiteral("is 52428809 characters long; a server name has at most 1024.");
    QTest::newRow("a connection string instead of a name")
        << QByteArray("Data Source=127.0.0.1;Initial Catalog=Quorvel\r\n")
        << QStringLiteral("holds \"=\" at position 12: CONSTR.txt names the server only, not a connection string.");
    QTest::newRow("no final line end: runs") << QByteArray("127.0.0.1") << QString();
    QTest::newRow("1024 characters with trailing blanks: runs")
        << QByteArray("127.0.0.1") + QByteArray(ServerList::kMaxServerNameLength - 9, ' ') << QString();
}

void TestSpFaults::hostileServerList()
{
    QFETCH(QByteArray, constr);
    QFETCH(QString, refusal);
    RecordingServices window;
    window.answer({Answer::Yes});
    run("CREATE TABLE %S.t (n int)\r\nGO\r\nINSERT INTO %S.t VALUES (1)\r\n", constr, window);
    constr.clear();

    if (refusal.isEmpty()) {
        QCOMPARE(window.boxes(), (QStringList{kQuestion, kSuccess}));
        QCOMPARE(rows(QStringLiteral("SELECT n FROM %S.t")), QStringList{u"1"_s});
        return;
    }
    // The file is listed as it is, then the connection is refused before
    // any attempt, with the reason in the trap's box and the status line.
    QCOMPARE(window.only({QStringLiteral("servers:")}).size(), 1);
    const QString trap = QStringLiteral("The server name in CONSTR.txt ") + refusal;
    const QStringList tail = window.log.mid(window.log.size() - 3);
    QVERIFY2(tail.at(0).startsWith(QStringLiteral("box:critical:Message :3008 : ") + trap), qPrintable(tail.at(0)));
    QVERIFY2(tail.at(1).startsWith(QStringLiteral("status:Error executing script: ") + trap), qPrintable(tail.at(1)));
    QCOMPARE(window.boxes().size(), 2);
    QCOMPARE(window.statuses().filter(QStringLiteral("Executing")), QStringList{});
    QCOMPARE(rows(QStringLiteral("SELECT n FROM %S.t")), QStringList{u"error"_s});
}

void TestSpFaults::hostileScript_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("total");          // n in "Executing batch i of n"
    QTest::addColumn<QStringList>("failed"); // batches with an error box
    QTest::addColumn<QString>("mentions");   // in the first error box
    QTest::addColumn<QStringList>("rows");   // left(s, 8) || length(s) of t

    const QByteArray table = "CREATE TABLE %S.t (s text)\r\nGO\r\n";
    const QString nul = QStringLiteral("The batch was not run: it holds a NUL character");
    QTest::newRow("binary junk: the server's own error")
        << junk(false) << 1 << QStringList{u"1"_s} << QString() << QStringList{u"error"_s};
    QTest::newRow("binary junk with NUL bytes")
        << junk(true) << 1 << QStringList{u"1"_s} << nul << QStringList{u"error"_s};
    QTest::newRow("a NUL byte would have hidden the rest of a batch")
        << table + "INSERT INTO %S.t VALUES ('two');" + QByteArray(1, '\0') + "DELETE FROM %S.t\r\nGO\r\n"
            + "INSERT INTO %S.t VALUES ('one')\r\n"
        << 3 << QStringList{u"2"_s} << nul << QStringList{u"one3"_s};
    QTest::newRow("saved as Unicode (UTF-16) without its mark")
        << utf16("CREATE TABLE %S.t (s text)\r\nGO\r\nINSERT INTO %S.t VALUES ('one')\r\n", false) << 1
        << QStringList{u"1"_s} << nul << QStringList{u"error"_s};
    QTest::newRow("a single 50 MB line, no line end") << table + "INSERT INTO %S.t VALUES ('" + QByteArray(k50MB, 'x')
            + "')" << 2 << QStringList{} << QString() << QStringList{u"xxxxxxxx52428800"_s};
    QTest::newRow("a 50 MB line the server refuses")
        << table + "SELECT 1 '" + QByteArray(k50MB, 'x') + "'\r\nGO\r\nINSERT INTO %S.t VALUES ('one')\r\n"
        << 3 << QStringList{u"2"_s} << QStringLiteral("syntax error") << QStringList{u"one3"_s};
    QTest::newRow("no final line end") << table + "INSERT INTO %S.t VALUES ('one')" << 2 << QStringList{} << QString()
                                       << QStringList{u"one3"_s};
    QTest::newRow("a last GO line without a line end separates")
        << table + "INSERT INTO %S.t VALUES ('one')\r\nGO" << 3 << QStringList{} << QString() << QStringList{u"one3"_s};
}

void TestSpFaults::hostileScript()
{
    QFETCH(QByteArray, script);
    QFETCH(int, total);
    QFETCH(QStringList, failed);
    QFETCH(QString, mentions);
    QFETCH(QStringList, rows);
    RecordingServices window;
    window.answer({Answer::Yes});
    run(script, "127.0.0.1\r\n", window);
    script.clear();

    const QStringList running = window.statuses().filter(QStringLiteral("Executing batch "));
    QVERIFY2(!running.isEmpty() && running.first() == QStringLiteral("Executing batch 1 of %1").arg(total),
             qPrintable(running.join(QLatin1Char('|'))));
    const QStringList boxes = window.boxes();
    QCOMPARE(boxes.size(), 1 + failed.size() + 1);
    QCOMPARE(boxes.first(), kQuestion);
    for (qsizetype i = 0; i < failed.size(); ++i) {
        const QString prefix = QStringLiteral("box:critical:Updater:Error executing batch %1: ").arg(failed.at(i));
        const QString box = boxes.at(1 + i);
        QVERIFY2(box.startsWith(prefix) && box.size() > prefix.size(), qPrintable(box.left(300)));
        QVERIFY2(box.contains(mentions), qPrintable(box.left(300)));
    }
    QCOMPARE(boxes.last(), failed.isEmpty() ? kSuccess : errorsBox(failed.size(), total));
    QCOMPARE(window.status(), QStringLiteral("Execution Completed!"));
    QCOMPARE(this->rows(QStringLiteral("SELECT left(s, 8) || length(s) FROM %S.t ORDER BY s")), rows);
}

void TestSpFaults::databaseGoesAway_data()
{
    QTest::addColumn<QByteArray>("third");  // batch 3 of 5
    QTest::addColumn<int>("killAt");        // at "Executing batch killAt of 5", from another connection
    QTest::addColumn<bool>("whileRunning"); // the kill waits until that batch runs
    QTest::addColumn<int>("lostAt");        // the one batch with an error box, the last one tried
    QTest::addColumn<QString>("notRun");    // what the lost-connection box adds
    QTest::addColumn<QStringList>("rows");

    const QByteArray insert = "INSERT INTO %S.t VALUES (3)";
    QTest::newRow("terminated between batches 1 and 2")
        << insert << 2 << false << 2 << " Batches 3 to 5 were not run." << QStringList{u"error"_s};
    QTest::newRow("terminated before the last batch") << insert << 5 << false << 5 << "" << QStringList{u"3"_s, u"4"_s};
    QTest::newRow("terminated while batch 3 runs")
        << QByteArray("SELECT pg_sleep(30)") << 3 << true << 3 << " Batches 4 to 5 were not run." << QStringList{};
    QTest::newRow("batch 3 ends its own connection") << QByteArray("SELECT pg_terminate_backend(pg_backend_pid())") << 0
                                                     << false << 3 << " Batches 4 to 5 were not run." << QStringList{};
}

void TestSpFaults::databaseGoesAway()
{
    QFETCH(QByteArray, third);
    QFETCH(int, killAt);
    QFETCH(bool, whileRunning);
    QFETCH(int, lostAt);
    QFETCH(QString, notRun);
    QFETCH(QStringList, rows);

    // Batch 1 leaves the action's backend process id where a second
    // connection can find it and end that backend.
    const QByteArray script = "CREATE TABLE %S.who AS SELECT pg_backend_pid() AS pid\r\nGO\r\n"
                              "CREATE TABLE %S.t (n int)\r\nGO\r\n"
        + third + "\r\nGO\r\nINSERT INTO %S.t VALUES (4)\r\nGO\r\nINSERT INTO %S.t VALUES (5)\r\n";
    QStringList killed;
    auto kill = [&] {
        const QStringList pid = this->rows(QStringLiteral("SELECT pid FROM %S.who"));
        killed << this->rows(QStringLiteral("SELECT pg_terminate_backend(%1, 10000)::text").arg(pid.value(0)));
    };
    RecordingServices window;
    window.answer({Answer::Yes});
    window.onEvents = [&] {
        if (window.status() != QStringLiteral("Executing batch %1 of 5").arg(killAt))
            return;
        if (whileRunning)
            QTimer::singleShot(500, kill);
        else
            kill();
    };
    run(script, "127.0.0.1", window);

    if (killAt)
        QCOMPARE(killed, QStringList{u"true"_s});
    // The failed batch's own box, one box for the rest, the summary.
    const QStringList boxes = window.boxes();
    QCOMPARE(boxes.size(), 4);
    const QString prefix = QStringLiteral("box:critical:Updater:Error executing batch %1: ").arg(lostAt);
    QVERIFY2(boxes.at(1).startsWith(prefix) && boxes.at(1).size() > prefix.size(), qPrintable(boxes.at(1)));
    QCOMPARE(boxes.at(2), QStringLiteral("box:warn:Updater:The connection to the database was lost.") + notRun);
    const int left = 5 - lostAt;
    QCOMPARE(boxes.at(3),
             QStringLiteral("box:warn:Updater:SQL Script Execution Completed with errors: 1 of 5 batches "
                            "failed%1.")
                 .arg(left == 0 ? QString() : QStringLiteral(", %1 were not run").arg(left)));
    // No batch was tried after the lost one.
    QStringList running;
    for (int i = 1; i <= lostAt; ++i)
        running << QStringLiteral("Executing batch %1 of 5").arg(i);
    QCOMPARE(window.statuses().filter(QStringLiteral("Executing batch ")), running);
    QCOMPARE(this->rows(QStringLiteral("SELECT n FROM %S.t ORDER BY n")), rows);
    // The journal's own connection outlived the script's.
    QCOMPARE(this->rows(QStringLiteral("SELECT outcome || ' ' || batches_run FROM %S.updater_journal")),
             QStringList{u"connection lost "_s + QString::number(lostAt)});
}

void TestSpFaults::unicodeFiles_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("constr");
    QTest::addColumn<QString>("refusal"); // in one of the boxes; empty: the script runs

    const char *script = "CREATE TABLE %S.t (s text)\r\nGO\r\nINSERT INTO %S.t VALUES (N'\u00C9l\u00E8ve')\r\n";
    const QByteArray utf8 = QByteArray("\xEF\xBB\xBF") + script;
    const QByteArray ansi = QString::fromUtf8(script).toLatin1(); // windows-1252 for these letters
    const QByteArray server = "127.0.0.1\r\n";
    QTest::newRow("LATEST.sql in UTF-8 with its mark") << utf8 << server << QString();
    QTest::newRow("LATEST.sql in UTF-16 with its mark") << utf16(script) << server << QString();
    QTest::newRow("LATEST.sql in ANSI") << ansi << server << QString();
    QTest::newRow("CONSTR.txt in UTF-8 with its mark") << ansi << "\xEF\xBB\xBF" + server << QString();
    QTest::newRow("CONSTR.txt in UTF-16 with its mark") << ansi << utf16("127.0.0.1\r\n") << QString();
    QTest::newRow("LATEST.sql: a UTF-8 mark over ANSI text")
        << "\xEF\xBB\xBF" + ansi << server
        << QStringLiteral("LATEST.sql begins with the byte-order mark of UTF-8 but is not valid UTF-8 text.");
    QTest::newRow("CONSTR.txt: a UTF-8 mark over ANSI text")
        << ansi
        << QByteArray("\xEF\xBB\xBF\xC9"
                      "cole\r\n")
        << QStringLiteral("CONSTR.txt begins with the byte-order mark of UTF-8 but is not valid UTF-8 text.");
}

void TestSpFaults::unicodeFiles()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, constr);
    QFETCH(QString, refusal);
    // As on Western European Windows: the system code page is windows-1252.
    TextRules::useCodePage("windows-1252");
    RecordingServices window;
    window.answer({Answer::Yes});
    run(script, constr, window);

    if (refusal.isEmpty()) {
        QCOMPARE(window.boxes(), (QStringList{kQuestion, kSuccess}));
        QCOMPARE(m_sp.serverName, QStringLiteral("127.0.0.1"));
        QCOMPARE(rows(QStringLiteral("SELECT s FROM %S.t")), QStringList{QStringLiteral("\u00C9l\u00E8ve")});
        return;
    }
    QVERIFY2(window.boxes().join(QLatin1Char('\n')).contains(refusal), qPrintable(window.boxes().join(u'\n')));
    QCOMPARE(rows(QStringLiteral("SELECT s FROM %S.t")), QStringList{u"error"_s});
}

QTEST_GUILESS_MAIN(TestSpFaults)
#include "tst_spfaults.moc"
