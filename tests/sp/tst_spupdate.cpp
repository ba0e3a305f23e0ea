#include "common/recordingservices.h"
#include "common/spfixture.h"
#include "sp/odbcdatabase.h"
#include "sp/runlock.h"
#include "sp/spupdate.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {
const QString kScriptPath = QStringLiteral("/updates/LATEST.sql");
const QString kQuestion = QStringLiteral("box:question:Confirmation:Are you sure you want to execute the SQL script?");

} // namespace

Q_DECLARE_METATYPE(Answer)

namespace {

// The tool's connections, made as another login of the same password: the
// one part of them the tool takes from nowhere else.
class OtherLogin : public Database
{
public:
    // `database`: another database of the server too; empty: the tool's.
    OtherLogin(QString login, QString database) : m_login(std::move(login)), m_database(std::move(database)) {}
    void open(const ConnectionSettings &settings) override
    {
        ConnectionSettings as = settings;
        as.login = m_login;
        if (!m_database.isEmpty())
            as.database = m_database;
        m_inner->open(as);
    }
    void execute(const QString &batch) override { m_inner->execute(batch); }
    void cancel() override { m_inner->cancel(); }
    void close() override { m_inner->close(); }
    ServerKind serverKind() override { return m_inner->serverKind(); }
    QStringList queryRow(const QString &statement, const QVariantList &values) override
    {
        return m_inner->queryRow(statement, values);
    }

private:
    std::unique_ptr<Database> m_inner = OdbcDatabase::factory()();
    QString m_login;
    QString m_database;
};

// Statements run by the server's superuser in the database; the exit code.
int asSuperuser(const QString &sql, const QString &database = u"Quorvel"_s)
{
    return QProcess::execute(u"runuser"_s,
                             {u"-u"_s, u"postgres"_s, u"--"_s, u"psql"_s, u"-q"_s, u"-X"_s, u"-p"_s, u"5432"_s, u"-d"_s,
                              database, u"-v"_s, u"ON_ERROR_STOP=1"_s, u"-c"_s, sql});
}

QStringList strings(std::initializer_list<const char *> texts)
{
    QStringList result;
    for (const char *text : texts)
        result << QString::fromUtf8(text);
    return result;
}
} // namespace

// "Update SP" from the click to the last box, against the local HTTPS
// server and the local PostgreSQL server.
class TestSpUpdate : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void everyStepInOrder();
    void outcomes_data();
    void outcomes();
    void trap_data();
    void trap();
    void downloadFails_data();
    void downloadFails();
    void declined();
    void scriptGoneBeforeReading();
    void batchWaitsLongerThanTheTimeout();
    void olderReleaseAfterNewer();
    void notGuaranteed_data();
    void notGuaranteed();
    void closeDuringTheScript_data();
    void closeDuringTheScript();

private:
    // Publishes the script (%S stands for the test's schema) and CONSTR.txt
    // (not written when null), then runs the action once.
    // With a release serial, the run is unattended's: once only, locked
    // and recorded.
    void run(const QByteArray &script, const QByteArray &constr, RecordingServices &window,
             int timeout = kDefaultCommandTimeout, std::optional<qint64> serial = std::nullopt);

    SpFixture m_sp;
    DatabaseFactory m_databases = OdbcDatabase::factory(); // what run() runs the action with
    SpUpdate *m_update = nullptr;                          // the action while run() runs it
    Outcome m_outcome;                                     // how the last run() ended
};

void TestSpUpdate::initTestCase()
{
    DatabaseFixture::chooseDriver();
}

void TestSpUpdate::init()
{
    if (!m_sp.start())
        return;
}

void TestSpUpdate::cleanup()
{
    m_databases = OdbcDatabase::factory();
    m_sp.stop();
}

void TestSpUpdate::run(const QByteArray &script, const QByteArray &constr, RecordingServices &window, int timeout,
                       std::optional<qint64> serial)
{
    QByteArray published = script;
    published.replace("%S", m_sp.db->schema().toUtf8());
    m_sp.web->publish(kScriptPath, published);
    if (!constr.isNull())
        QVERIFY(writeBytes(m_sp.web->appFolder() + QStringLiteral("/CONSTR.txt"), constr));
    const Endpoints endpoints = m_sp.web->endpoints();
    SpUpdate update(window, m_sp.web->web(), endpoints, m_sp.web->appFolder(), m_databases, m_sp.serverName, {},
                    timeout);
    if (serial) {
        update.setReleaseSerial(serial);
        update.setOnceOnly(true);
        update.setGuaranteed(true);
    }
    m_update = &update;
    m_outcome = update.run();
    m_update = nullptr;
    QVERIFY2(!window.log.join(QLatin1Char('\n')).contains(QStringLiteral("tr5kelvo")),
             qPrintable(window.log.join(QLatin1Char('\n'))));
    QVERIFY(!window.busy());
}

void TestSpUpdate::everyStepInOrder()
{
    // Two servers: the first is the one connected to (nothing listens on
    // the second).
    RecordingServices window;
    window.answer({Answer::Yes});
    run("CREATE TABLE %S.t (n int)\r\nGO\r\nINSERT INTO %S.t VALUES (1)\r\nGO\r\n", "127.0.0.1\r\n127.0.0.2\r\n",
        window);
    QCOMPARE(window.log,
             strings({"cursor:busy",
                      "range:0..100",
                      "value:0",
                      "status:",
                      "servers:127.0.0.1|127.0.0.2",
                      "status:Checking SP folder...",
                      "events",
                      "status:Downloading stored procedure script...",
                      "events",
                      "box:question:Confirmation:Are you sure you want to execute the SQL script?",
                      "status:Reading SQL script...",
                      "events",
                      "range:0..2",
                      "value:0",
                      "status:Executing SQL script...",
                      "events",
                      "value:0",
                      "status:Executing batch 1 of 3",
                      "events",
                      "value:1",
                      "status:Executing batch 2 of 3",
                      "events",
                      "status:Execution Completed!",
                      "value:2",
                      "box:info:Updater:SQL Script Execution Completed Successfully!",
                      "cursor:default"}));
    QCOMPARE(m_sp.serverName, QStringLiteral("127.0.0.1"));
    QCOMPARE(m_sp.db->values(QStringLiteral("SELECT n FROM %1.t").arg(m_sp.db->schema())), QStringList{u"1"_s});
    QVERIFY(QFileInfo(m_sp.web->appFolder() + QStringLiteral("/SP/LATEST.sql")).isFile());
    // The window's run is in the journal too: its outcome, batches run and failed.
    QCOMPARE(m_sp.db->values(QStringLiteral("SELECT outcome || ' ' || batches_run || ' ' || batches_failed FROM "
                                            "%1.updater_journal")
                                 .arg(m_sp.db->schema())),
             QStringList{u"succeeded 2 0"_s});
}

void TestSpUpdate::outcomes_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("errors"); // batch numbers whose box is expected
    QTest::addColumn<QString>("finalBox");
    QTest::addColumn<QStringList>("rows"); // SELECT n FROM t ORDER BY n afterwards
    QTest::addColumn<int>("executed");     // "Executing batch" statuses
    const QByteArray five = "CREATE TABLE %S.t (n int)\r\nGO\r\n"
                            "INSERT INTO %S.t VALUES (2)\r\nGO\r\n"
                            "INSERT INTO %S.missing VALUES (3)\r\nGO\r\n"
                            "INSERT INTO %S.t VALUES (4)\r\nGO\r\n"
                            "INSERT INTO %S.t VALUES (5);\r\nINSERT INTO %S.t VALUES (6)";
    QTest::newRow("third of five fails, the rest take effect")
        << five << QStringList{u"3"_s}
        << "box:warn:Updater:SQL Script Execution Completed with errors: 1 of 5 batches failed."
        << QStringList{u"2"_s, u"4"_s, u"5"_s, u"6"_s} << 5;
    QTest::newRow("two fail, the empty last batch is in neither the box's count nor the log's")
        << QByteArray("CREATE TABLE %S.t (n int)\r\nGO\r\nINSERT INTO %S.t VALUES ('a')\r\nGO\r\n"
                      "INSERT INTO %S.t VALUES (1)\r\nGO\r\nSELECT * FROM %S.nothing\r\nGO\r\n")
        << QStringList{u"2"_s, u"4"_s}
        << "box:warn:Updater:SQL Script Execution Completed with errors: 2 of 4 batches failed." << QStringList{u"1"_s}
        << 4;
    QTest::newRow("byte-order marks and a blank batch")
        << QByteArray("CREATE TABLE %S.t (n int)\r\nGO\r\n   \r\nGO\r\n"
                      "\xFF\xFE"
                      "INSERT INTO %S.t VALUES (1);\r\n\xEF\xBB\xBF"
                      "INSERT INTO %S.t VALUES (2)\r\n")
        << QStringList{} << "box:info:Updater:SQL Script Execution Completed Successfully!"
        << QStringList{u"1"_s, u"2"_s} << 2;
    QTest::newRow("first line GO does not split, so the batch fails")
        << QByteArray("GO\r\nCREATE TABLE %S.t (n int)\r\n") << QStringList{u"1"_s}
        << "box:warn:Updater:SQL Script Execution Completed with errors: 1 of 1 batches failed."
        << QStringList{u"error"_s} << 1;
}

void TestSpUpdate::outcomes()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, errors);
    QFETCH(QString, finalBox);
    QFETCH(QStringList, rows);
    QFETCH(int, executed);
    RecordingServices window;
    window.answer({Answer::Yes});
    run(script, "127.0.0.1", window);

    const QStringList boxes = window.boxes();
    QCOMPARE(boxes.size(), 1 + errors.size() + 1);
    QCOMPARE(boxes.first(), kQuestion);
    for (qsizetype i = 0; i < errors.size(); ++i) {
        const QString prefix = QStringLiteral("box:critical:Updater:Error executing batch %1: ").arg(errors.at(i));
        QVERIFY2(boxes.at(1 + i).startsWith(prefix) && boxes.at(1 + i).size() > prefix.size(),
                 qPrintable(boxes.at(1 + i)));
    }
    QCOMPARE(boxes.last(), finalBox);
    QCOMPARE(window.log.last(), QStringLiteral("cursor:default"));
    const QStringList running = window.statuses().filter(QStringLiteral("Executing batch "));
    QCOMPARE(running.size(), executed);
    QCOMPARE(window.status(), QStringLiteral("Execution Completed!"));

    QStringList found = m_sp.db->values(QStringLiteral("SELECT n FROM %1.t ORDER BY n").arg(m_sp.db->schema()));
    if (found.size() == 1 && found.first().startsWith(QStringLiteral("error")))
        found = QStringList{QStringLiteral("error")};
    QCOMPARE(found, rows);
    QCOMPARE(m_outcome.kind, errors.isEmpty() ? OutcomeKind::Done : OutcomeKind::BatchesFailed);
    QCOMPARE(m_outcome.failedBatches, int(errors.size()));
    if (!errors.isEmpty())
        QVERIFY2(finalBox.contains(u" of %1 batches"_s.arg(m_outcome.batches)), qPrintable(m_outcome.summary()));
}

void TestSpUpdate::olderReleaseAfterNewer()
{
    // Serial 9's script ran on the database; serial 5's, read from a
    // mirror that stopped updating, is not run after it.
    RecordingServices newer;
    newer.answer({Answer::Yes});
    run("CREATE TABLE %S.t (n int)\r\n", "127.0.0.1", newer, kDefaultCommandTimeout, 9);
    QCOMPARE(m_outcome.kind, OutcomeKind::Done);
    RecordingServices older;
    older.answer({Answer::Yes});
    run("INSERT INTO %S.t VALUES (5)\r\n", "127.0.0.1", older, kDefaultCommandTimeout, 5);
    QCOMPARE(m_outcome.kind, OutcomeKind::Refused);
    QCOMPARE(m_outcome.reason, u"an older release's script: serial 5, the database has run serial 9"_s);
    QCOMPARE(m_sp.db->values(u"SELECT count(*) FROM %1.t"_s.arg(m_sp.db->schema())), QStringList{u"0"_s});
}

void TestSpUpdate::trap_data()
{
    QTest::addColumn<QByteArray>("constr"); // null: no CONSTR.txt
    QTest::addColumn<int>("listBoxes");     // boxes of the server list before the trap
    QTest::addColumn<QString>("mentions");
    QTest::newRow("nothing listens at the server") << QByteArray("127.0.0.2\r\n") << 0 << QStringLiteral("127.0.0.2");
    QTest::newRow("empty CONSTR.txt: empty server name") << QByteArray("") << 1 << QStringLiteral("server name");
    QTest::newRow("missing CONSTR.txt: empty server name") << QByteArray() << 1 << QStringLiteral("server name");
    QTest::newRow("blank first item") << QByteArray(",127.0.0.1") << 0 << QStringLiteral("server name");
}

void TestSpUpdate::trap()
{
    QFETCH(QByteArray, constr);
    QFETCH(int, listBoxes);
    QFETCH(QString, mentions);
    RecordingServices window;
    window.answer({Answer::Yes});
    run("CREATE TABLE %S.t (n int)", constr, window);
    QCOMPARE(m_outcome.kind, OutcomeKind::DatabaseUnreachable);

    // The server list's failure does not stop the action: it goes on to the
    // download, the question and the reading, then fails to connect.
    QStringList boxes = window.boxes();
    QCOMPARE(boxes.size(), listBoxes + 2);
    for (int i = 0; i < listBoxes; ++i)
        QVERIFY2(boxes.at(i).startsWith(QStringLiteral("box:critical:Updater:")), qPrintable(boxes.at(i)));
    QCOMPARE(boxes.at(listBoxes), kQuestion);
    QCOMPARE(window.statuses().mid(window.statuses().size() - 2, 1), QStringList{u"Reading SQL script..."_s});

    const QStringList tail = window.log.mid(window.log.size() - 3);
    QVERIFY2(tail.at(0).startsWith(QStringLiteral("box:critical:Message :")), qPrintable(tail.at(0)));
    const QString trapText = tail.at(0).mid(QStringLiteral("box:critical:Message :").size());
    const qsizetype colon = trapText.indexOf(QStringLiteral(" : "));
    QVERIFY2(colon > 0, qPrintable(trapText));
    bool numeric = false;
    trapText.left(colon).toInt(&numeric);
    QVERIFY(numeric);
    const QString description = trapText.mid(colon + 3);
    QVERIFY2(description.contains(mentions), qPrintable(description));
    QCOMPARE(tail.at(1), QStringLiteral("status:Error executing script: ") + description);
    QCOMPARE(tail.at(2), QStringLiteral("cursor:default"));
    QVERIFY(!m_sp.db->tableExists(QStringLiteral("t")));
}

void TestSpUpdate::downloadFails_data()
{
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<bool>("spIsAFile");
    QTest::addColumn<QString>("code");
    QTest::newRow("script not published") << 404 << false << QStringLiteral("404");
    QTest::newRow("server error") << 500 << false << QStringLiteral("500");
    QTest::newRow("a file named SP") << 0 << true << QStringLiteral("2003");
}

void TestSpUpdate::downloadFails()
{
    QFETCH(int, httpStatus);
    QFETCH(bool, spIsAFile);
    QFETCH(QString, code);
    if (httpStatus) {
        HttpsFileServer::Fault fault;
        fault.status = httpStatus;
        m_sp.web->server().setFault(kScriptPath, fault);
    }
    const QString sp = m_sp.web->appFolder() + QStringLiteral("/SP");
    if (spIsAFile)
        QVERIFY(writeBytes(sp, "not a folder"));
    RecordingServices window;
    run("CREATE TABLE %S.t (n int)", "127.0.0.1", window);
    QCOMPARE(window.log.mid(window.log.size() - 4),
             (QStringList{u"status:Downloading stored procedure script..."_s, u"events"_s,
                          u"status:Download failed. Error code: "_s + code, u"cursor:default"_s}));
    QCOMPARE(window.boxes(), QStringList{});
    QCOMPARE(QFileInfo(sp).isFile(), spIsAFile);
    QVERIFY(!QFileInfo::exists(sp + QStringLiteral("/LATEST.sql")));
}

void TestSpUpdate::declined()
{
    RecordingServices window;
    window.answer({Answer::No});
    run("CREATE TABLE %S.t (n int)\r\n", "127.0.0.1", window);
    QCOMPARE(window.log.mid(window.log.size() - 2), (QStringList{kQuestion, u"cursor:default"_s}));
    QCOMPARE(window.status(), QStringLiteral("Downloading stored procedure script..."));
    QCOMPARE(readBytes(m_sp.web->appFolder() + QStringLiteral("/SP/LATEST.sql")),
             "CREATE TABLE " + m_sp.db->schema().toUtf8() + ".t (n int)\r\n");
    QVERIFY(!m_sp.db->tableExists(QStringLiteral("t")));
}

void TestSpUpdate::scriptGoneBeforeReading()
{
    // The script disappears while the question is open.
    class Deleting : public RecordingServices
    {
    public:
        QString path;
        Answer showMessage(const QString &prompt, MessageStyle style, const QString &title) override
        {
            if (style == MessageStyle::Question)
                QFile::remove(path);
            return RecordingServices::showMessage(prompt, style, title);
        }
    } window;
    window.path = m_sp.web->appFolder() + QStringLiteral("/SP/LATEST.sql");
    window.answer({Answer::Yes});
    run("CREATE TABLE %S.t (n int)", "127.0.0.1", window);
    QCOMPARE(window.log.mid(window.log.size() - 3),
             (QStringList{kQuestion,
                          u"box:critical:Updater:Error: File not found at "_s + QDir::toNativeSeparators(window.path),
                          u"cursor:default"_s}));
    QVERIFY(!m_sp.db->tableExists(QStringLiteral("t")));
}

void TestSpUpdate::batchWaitsLongerThanTheTimeout()
{
    // Another session holds a lock on t for longer than a batch may wait
    // (it lets go after 10 s at the latest); the batch that needs the lock
    // fails on its own, and the next batch runs.
    const QString schema = m_sp.db->schema();
    m_sp.db->values(QStringLiteral("CREATE TABLE %1.t (n int)").arg(schema));
    m_sp.db->values(QStringLiteral("BEGIN; LOCK TABLE %1.t IN ACCESS EXCLUSIVE MODE").arg(schema));
    QTimer release;
    release.setSingleShot(true);
    connect(&release, &QTimer::timeout, this, [&] { m_sp.db->values(QStringLiteral("COMMIT")); });
    release.start(10000);
    RecordingServices window;
    window.answer({Answer::Yes});
    QElapsedTimer clock;
    clock.start();
    run("SELECT count(*) FROM %S.t\r\nGO\r\nCREATE TABLE %S.after (n int)\r\n", "127.0.0.1", window, 1);
    const qint64 elapsed = clock.elapsed();
    if (release.isActive()) {
        release.stop();
        m_sp.db->values(QStringLiteral("COMMIT"));
    }

    const QStringList boxes = window.boxes();
    QCOMPARE(boxes.size(), 3);
    QVERIFY2(boxes.at(1).startsWith(QStringLiteral("box:critical:Updater:Error executing batch 1: "))
                 && boxes.at(1).contains(QStringLiteral("stopped after 1 seconds")),
             qPrintable(boxes.at(1)));
    QCOMPARE(boxes.at(2), u"box:warn:Updater:SQL Script Execution Completed with errors: 1 of 2 batches failed."_s);
    QVERIFY(m_sp.db->tableExists(QStringLiteral("after")));
    QVERIFY2(elapsed >= 1000 && elapsed < 8000, qPrintable(QString::number(elapsed)));
}

void TestSpUpdate::notGuaranteed_data()
{
    QTest::addColumn<bool>("ownDatabase"); // a database of the login's own, without EXECUTE on the lock
    QTest::addColumn<QString>("cause");
    QTest::newRow("a two-connection login, one held by a waiting desk: no journal's connection")
        << false << u"no journal: "_s;
    QTest::newRow("EXECUTE on the lock function revoked") << true << u"no lock: "_s;
}

void TestSpUpdate::notGuaranteed()
{
    QFETCH(bool, ownDatabase);
    QFETCH(QString, cause);
    // A login of its own, limited to two connections.
    const QString login = m_sp.db->schema() + u"_cap"_s;
    const QString schema = m_sp.db->schema();
    if (asSuperuser(u"SELECT 1"_s) != 0) {
        QVERIFY2(qEnvironmentVariable("CI") != u"true"_s, "no superuser access to the local PostgreSQL");
        QSKIP("no superuser access to the local PostgreSQL");
    }
    QCOMPARE(asSuperuser(u"CREATE ROLE %1 LOGIN PASSWORD 'tr5kelvo' CONNECTION LIMIT 2"_s.arg(login)), 0);
    const auto drop = qScopeGuard([&] {
        if (ownDatabase)
            asSuperuser(u"DROP DATABASE %1 WITH (FORCE)"_s.arg(login));
        asSuperuser(u"DROP OWNED BY %1; DROP ROLE %1"_s.arg(login));
    });
    m_sp.db->values(u"GRANT USAGE, CREATE ON SCHEMA %1 TO %2"_s.arg(schema, login));
    if (ownDatabase) {
        QCOMPARE(asSuperuser(u"CREATE DATABASE %1 OWNER %1"_s.arg(login)), 0);
        QCOMPARE(asSuperuser(u"REVOKE EXECUTE ON FUNCTION pg_try_advisory_lock(bigint) FROM PUBLIC; "
                             "CREATE SCHEMA %1 AUTHORIZATION %2"_s.arg(schema, login),
                             login),
                 0);
    }
    const QString database = ownDatabase ? login : QString();
    m_databases = [login, database] { return std::make_unique<OtherLogin>(login, database); };
    OtherLogin waiting(login, database);
    if (!ownDatabase)
        waiting.open(SpUpdate::connection(u"127.0.0.1"_s));
    RecordingServices window;
    window.answer({Answer::Yes});
    run("CREATE TABLE %S.t (n int)\r\n", "127.0.0.1", window, kDefaultCommandTimeout, 1);
    waiting.close();
    QCOMPARE(m_outcome.kind, OutcomeKind::NotGuaranteed);
    QVERIFY2(m_outcome.reason.startsWith(cause), qPrintable(m_outcome.reason));
    QCOMPARE(window.statuses().filter(u"Executing"_s), QStringList{});
}

void TestSpUpdate::closeDuringTheScript_data()
{
    QTest::addColumn<QString>("closeAt");  // the status at which the close comes, half a second later
    QTest::addColumn<QByteArray>("sleep"); // batch 2
    QTest::addColumn<bool>("asked");
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<bool>("locked"); // another desk holds the run's lock throughout: no table t
    const QString batch2 = QStringLiteral("Executing batch 2 of 3");
    QTest::newRow("Yes: the running batch is cancelled, the last is not run")
        << batch2 << QByteArray("30") << true << Answer::Yes
        << "box:warn:Updater:SQL Script Execution Completed with errors: 0 of 3 batches failed, batch 2 was "
           "cancelled, 1 was not run."
        << QStringList{} << false;
    QTest::newRow("No: the script goes on")
        << batch2 << QByteArray("1.5") << true << Answer::No
        << "box:info:Updater:SQL Script Execution Completed Successfully!" << QStringList{u"3"_s} << false;
    QTest::newRow("before the batches: nothing to stop yet")
        << QStringLiteral("Downloading stored procedure script...") << QByteArray("0") << false << Answer::No
        << "box:info:Updater:SQL Script Execution Completed Successfully!" << QStringList{u"3"_s} << false;
    QTest::newRow("waiting for another desk: the wait ends, nothing runs")
        << QStringLiteral("Waiting for another desk to finish the script...") << QByteArray("0") << false << Answer::No
        << QString() << QStringList() << true;
}

void TestSpUpdate::closeDuringTheScript()
{
    QFETCH(QString, closeAt);
    QFETCH(QByteArray, sleep);
    QFETCH(bool, asked);
    QFETCH(Answer, answer);
    QFETCH(QString, summary);
    QFETCH(QStringList, rows);
    QFETCH(bool, locked);
    const QString key = QString::number(RunLock::advisoryKey(RunLock::name(m_sp.db->schema())));
    if (locked)
        m_sp.db->values(QStringLiteral("SELECT pg_advisory_lock(%1)::text").arg(key));
    RecordingServices window;
    window.answer({Answer::Yes, answer});
    window.onEvents = [&] {
        if (window.status() == closeAt)
            QTimer::singleShot(500, this, [this] { m_update->closeRequested(); });
    };
    // The batch names the schema, so that it can be found on the server.
    QElapsedTimer clock;
    clock.start();
    run("CREATE TABLE %S.t (n int)\r\nGO\r\nSELECT pg_sleep(" + sleep
            + "), '%S'\r\nGO\r\nINSERT INTO %S.t VALUES (3)\r\n",
        "127.0.0.1", window);

    const QString stop = QStringLiteral("box:question:Confirmation:Stop the script? The running batch will be "
                                        "cancelled and no later batch will run.");
    if (locked) {
        m_sp.db->values(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(key));
        QCOMPARE(m_outcome.kind, OutcomeKind::ScriptRunElsewhere);
    }
    QStringList boxes{kQuestion};
    if (asked)
        boxes << stop;
    if (!summary.isEmpty())
        boxes << summary;
    QCOMPARE(window.boxes(), boxes);
    // The journal says how the run ended; a run that never had the lock
    // never read or wrote it.
    const QString journal = QStringLiteral("SELECT outcome FROM %1.updater_journal").arg(m_sp.db->schema());
    if (locked)
        QVERIFY(!m_sp.db->tableExists(QStringLiteral("updater_journal")));
    else
        QCOMPARE(m_sp.db->values(journal),
                 QStringList{asked && answer == Answer::Yes ? u"cancelled"_s : u"succeeded"_s});
    if (locked)
        QVERIFY(!m_sp.db->tableExists(QStringLiteral("t")));
    else
        QCOMPARE(m_sp.db->values(QStringLiteral("SELECT n FROM %1.t").arg(m_sp.db->schema())), rows);
    // Cancelled on the server, not merely abandoned: nothing of it runs on.
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_sp.db->values(QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE pid <> pg_backend_pid() "
                                            "AND state = 'active' AND query LIKE '%")
                             + m_sp.db->schema() + QStringLiteral("%'")),
             QStringList{u"0"_s});
}

QTEST_GUILESS_MAIN(TestSpUpdate)
#include "tst_spupdate.moc"
