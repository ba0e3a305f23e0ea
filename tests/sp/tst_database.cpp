#include "common/databasefixture.h"
#include "common/failure.h"
#include "sp/database.h"
#include "sp/odbcdatabase.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {
const QString kPassword = QStringLiteral("tr5kelvo");

ConnectionSettings settings(const QString &server, const QString &password = kPassword,
                            const QString &driver = ConnectionString::odbcDriver())
{
    return {driver, server, QStringLiteral("Quorvel"), QStringLiteral("sa"), password};
}

// Runs work and returns the failure it threw (number 0 when none).
template <typename Work>
Failure failureOf(Work work)
{
    try {
        work();
    } catch (const Failure &failure) {
        return failure;
    }
    return Failure{};
}
} // namespace

Q_DECLARE_METATYPE(ConnectionSettings)

// The database layer: the ODBC connection string, the password mask, and
// the ODBC connection against the local PostgreSQL server.
class TestDatabase : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void odbc_data();
    void odbc();
    void emptyServerRefused();
    void driverName();
    void masked_data();
    void masked();
    void runsBatchesOnTheServer();
    void openFailures_data();
    void openFailures();
    void windowKeepsRunningDuringABatch();
};

void TestDatabase::initTestCase()
{
    DatabaseFixture::chooseDriver();
}

void TestDatabase::odbc_data()
{
    QTest::addColumn<ConnectionSettings>("settings");
    QTest::addColumn<QString>("expected");
    QTest::newRow("the tool's own connection")
        << settings(QStringLiteral("SCHOOL\\SQLEXPRESS"), kPassword, QStringLiteral("FreeTDS"))
        << "DRIVER={FreeTDS};SERVER=SCHOOL\\SQLEXPRESS;DATABASE=Quorvel;UID=sa;PWD=tr5kelvo;";
    QTest::newRow("driver name with blanks")
        << settings(QStringLiteral("127.0.0.1"), kPassword, QStringLiteral("PostgreSQL Unicode"))
        << "DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;DATABASE=Quorvel;UID=sa;PWD=tr5kelvo;";
    QTest::newRow("a semicolon is braced") << ConnectionSettings{u"D"_s, u"a;b"_s, u"it's"_s, u"u"_s, u"p"_s}
                                           << "DRIVER={D};SERVER={a;b};DATABASE=it's;UID=u;PWD=p;";
    QTest::newRow("braces in values are doubled")
        << settings(QStringLiteral("a}b"), QStringLiteral("{x}"), QStringLiteral("D}"))
        << "DRIVER={D}}};SERVER={a}}b};DATABASE=Quorvel;UID=sa;PWD={{x}}};";
    QTest::newRow("an equals sign and outer blanks are braced")
        << settings(QStringLiteral(" h "), QStringLiteral("a=b"), QStringLiteral("D"))
        << "DRIVER={D};SERVER={ h };DATABASE=Quorvel;UID=sa;PWD={a=b};";
}

void TestDatabase::odbc()
{
    QFETCH(ConnectionSettings, settings);
    QFETCH(QString, expected);
    QCOMPARE(ConnectionString::odbc(settings), expected);
}

void TestDatabase::emptyServerRefused()
{
    const Failure failure = failureOf([&] { ConnectionString::odbc(settings(QString())); });
    QCOMPARE(failure.number, DatabaseCode::NoServer);
    QVERIFY(!failure.description.isEmpty());
    QVERIFY2(!failure.description.contains(kPassword), qPrintable(failure.description));
}

void TestDatabase::driverName()
{
    const QByteArray saved = qgetenv("UPDATER_ODBC_DRIVER");
    qputenv("UPDATER_ODBC_DRIVER", "My Driver");
    QCOMPARE(ConnectionString::odbcDriver(), QStringLiteral("My Driver"));
#ifdef Q_OS_WIN
    const QString platformDefault = QStringLiteral("SQL Server");
#else
    const QString platformDefault = QStringLiteral("FreeTDS");
#endif
    qputenv("UPDATER_ODBC_DRIVER", "");
    QCOMPARE(ConnectionString::odbcDriver(), platformDefault);
    qunsetenv("UPDATER_ODBC_DRIVER");
    QCOMPARE(ConnectionString::odbcDriver(), platformDefault);
    qputenv("UPDATER_ODBC_DRIVER", saved);
}

void TestDatabase::masked_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    // clang-format off
    QTest::newRow("ODBC keyword") << "DRIVER={x};PWD=tr5kelvo;UID=sa" << "DRIVER={x};PWD=********;UID=sa";
    QTest::newRow("OLE DB keyword, any case") << "password = tr5kelvo; User ID=sa" << "password = ********; User ID=sa";
    QTest::newRow("braced value with a semicolon") << "pwd={a;b}};c};x" << "pwd=********;x";
    QTest::newRow("quoted value") << "Password=\"a;b\";x" << "Password=********;x";
    QTest::newRow("unterminated brace") << "PWD={abc" << "PWD=********";
    QTest::newRow("the password anywhere") << "login tr5kelvo failed" << "login ******** failed";
    QTest::newRow("other text untouched") << "password authentication failed for user \"sa\""
                                          << "password authentication failed for user \"sa\"";
    // clang-format on
}

void TestDatabase::masked()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(ConnectionString::masked(text, {kPassword}), expected);
}

void TestDatabase::runsBatchesOnTheServer()
{
    DatabaseFixture fixture;
    REQUIRE_DATABASE(fixture);
    OdbcDatabase database;
    database.open(settings(DatabaseFixture::kServer));
    const QString table = fixture.schema() + QStringLiteral(".t");
    database.execute(QStringLiteral("CREATE TABLE %1 (n int)").arg(table));
    database.execute(QStringLiteral("INSERT INTO %1 VALUES (1);\r\nINSERT INTO %1 VALUES (2)").arg(table));
    database.execute(QStringLiteral("SELECT * FROM %1").arg(table)); // a result set is dropped
    const Failure failure
        = failureOf([&] { database.execute(QStringLiteral("INSERT INTO %1 VALUES ('x')").arg(table)); });
    QCOMPARE(failure.number, DatabaseCode::ExecuteFailed);
    QVERIFY2(failure.description.contains(QStringLiteral("integer")), qPrintable(failure.description));
    database.execute(QStringLiteral("INSERT INTO %1 VALUES (3)").arg(table)); // a failure does not stick
    // A later statement of a batch that fails fails the batch, after a
    // first statement that returned rows.
    const Failure later
        = failureOf([&] { database.execute(QStringLiteral("SELECT n FROM %1;\r\nSELECT 1 / 0").arg(table)); });
    QCOMPARE(later.number, DatabaseCode::ExecuteFailed);
    QVERIFY2(later.description.contains(QStringLiteral("division by zero")), qPrintable(later.description));
    QCOMPARE(fixture.values(QStringLiteral("SELECT n FROM %1 ORDER BY n").arg(table)),
             (QStringList{u"1"_s, u"2"_s, u"3"_s}));
    database.close();
    QCOMPARE(failureOf([&] { database.execute(QStringLiteral("SELECT 1")); }).number, DatabaseCode::NotOpen);
}

void TestDatabase::openFailures_data()
{
    QTest::addColumn<ConnectionSettings>("connection");
    QTest::addColumn<QString>("mentions");
    QTest::newRow("wrong password") << settings(DatabaseFixture::kServer, QStringLiteral("wr0ng-secret"))
                                    << QStringLiteral("password");
    QTest::newRow("nobody listening") << settings(QStringLiteral("127.0.0.2")) << QStringLiteral("127.0.0.2");
    QTest::newRow("unknown ODBC driver") << settings(DatabaseFixture::kServer, kPassword,
                                                     QStringLiteral("No Such Driver"))
                                         << QStringLiteral("No Such Driver");
}

void TestDatabase::openFailures()
{
    QFETCH(ConnectionSettings, connection);
    QFETCH(QString, mentions);
    DatabaseFixture fixture;
    REQUIRE_DATABASE(fixture);
    OdbcDatabase database;
    const Failure failure = failureOf([&] { database.open(connection); });
    QCOMPARE(failure.number, DatabaseCode::OpenFailed);
    QVERIFY2(failure.description.contains(mentions), qPrintable(failure.description));
    QVERIFY2(!failure.description.contains(connection.password), qPrintable(failure.description));
}

void TestDatabase::windowKeepsRunningDuringABatch()
{
    DatabaseFixture fixture;
    REQUIRE_DATABASE(fixture);
    OdbcDatabase database;
    database.open(settings(DatabaseFixture::kServer));
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(50);
    QElapsedTimer clock;
    clock.start();
    database.execute(QStringLiteral("SELECT pg_sleep(1)"));
    QVERIFY(clock.elapsed() >= 1000);
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
}

QTEST_GUILESS_MAIN(TestDatabase)
#include "tst_database.moc"
