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

QString oleDb(const QString &server, const QString &password = kPassword)
{
    return QStringLiteral("Provider=SQLOLEDB;Data Source=%1;Initial Catalog=Quorvel;User ID=sa;Password=%2;")
        .arg(server, password);
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

// The database layer: the OLE DB to ODBC adapter, the password mask, and
// the ODBC connection against the local PostgreSQL server.
class TestDatabase : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void toOdbc_data();
    void toOdbc();
    void refused_data();
    void refused();
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

void TestDatabase::toOdbc_data()
{
    QTest::addColumn<QString>("oleDb");
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("expected");
    // clang-format off
    QTest::newRow("the tool's own string") << oleDb(QStringLiteral("SCHOOL\\SQLEXPRESS")) << "FreeTDS"
                                           << "DRIVER={FreeTDS};SERVER=SCHOOL\\SQLEXPRESS;DATABASE=Quorvel;UID=sa;"
                                              "PWD=tr5kelvo;";
    QTest::newRow("driver name with blanks") << oleDb(QStringLiteral("127.0.0.1")) << "PostgreSQL Unicode"
                                             << "DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;DATABASE=Quorvel;"
                                                "UID=sa;PWD=tr5kelvo;";
    QTest::newRow("keywords in any case, blanks around")
        << " provider = sqloledb.1 ; DATA SOURCE = h ;initial catalog=Db; user id=u;password=p" << "SQL Server"
        << "DRIVER={SQL Server};SERVER=h;DATABASE=Db;UID=u;PWD=p;";
    QTest::newRow("a quoted value keeps its semicolon")
        << "Provider=SQLOLEDB;Data Source=\"a;b\";Initial Catalog='it''s';User ID=u;Password=p;" << "D"
        << "DRIVER={D};SERVER={a;b};DATABASE=it's;UID=u;PWD=p;";
    QTest::newRow("braces in values are doubled") << oleDb(QStringLiteral("a}b"), QStringLiteral("{x}")) << "D}"
                                                  << "DRIVER={D}}};SERVER={a}}b};DATABASE=Quorvel;UID=sa;PWD={{x}}};";
    QTest::newRow("last of a repeated keyword wins") << oleDb(QStringLiteral("a")) + u"Data Source=b;"_s << "D"
                                                     << "DRIVER={D};SERVER=b;DATABASE=Quorvel;UID=sa;PWD=tr5kelvo;";
    // clang-format on
}

void TestDatabase::toOdbc()
{
    QFETCH(QString, oleDb);
    QFETCH(QString, driver);
    QFETCH(QString, expected);
    QCOMPARE(ConnectionString::toOdbc(oleDb, driver), expected);
}

void TestDatabase::refused_data()
{
    QTest::addColumn<QString>("oleDb");
    QTest::addColumn<int>("number");
    QTest::newRow("another provider") << "Provider=MSDASQL;Data Source=h;Password=tr5kelvo;"
                                      << DatabaseCode::UnknownProvider;
    QTest::newRow("no provider") << "Data Source=h;User ID=sa;Password=tr5kelvo;" << DatabaseCode::UnknownProvider;
    QTest::newRow("empty server name") << oleDb(QString()) << DatabaseCode::NoServer;
    QTest::newRow("unknown keyword") << oleDb(QStringLiteral("h")) + u"Integrated Security=SSPI;"_s
                                     << DatabaseCode::BadConnectionString;
    QTest::newRow("part without =") << "Provider=SQLOLEDB;tr5kelvo;" << DatabaseCode::BadConnectionString;
    QTest::newRow("unclosed quote") << "Provider=SQLOLEDB;Data Source=h;Password=\"tr5kelvo;"
                                    << DatabaseCode::BadConnectionString;
    QTest::newRow("text after a quoted value")
        << "Provider=SQLOLEDB;Password='tr5kelvo' x;Data Source=h;" << DatabaseCode::BadConnectionString;
}

void TestDatabase::refused()
{
    QFETCH(QString, oleDb);
    QFETCH(int, number);
    const Failure failure = failureOf([&] { ConnectionString::toOdbc(oleDb, QStringLiteral("FreeTDS")); });
    QCOMPARE(failure.number, number);
    QVERIFY(!failure.description.isEmpty());
    QVERIFY2(!failure.description.contains(kPassword), qPrintable(failure.description));
}

void TestDatabase::driverName()
{
    const QByteArray saved = qgetenv("UPDATER_ODBC_DRIVER");
    qputenv("UPDATER_ODBC_DRIVER", "My Driver");
    QCOMPARE(ConnectionString::odbcDriver(), QStringLiteral("My Driver"));
    qputenv("UPDATER_ODBC_DRIVER", "");
    QCOMPARE(ConnectionString::odbcDriver(), QStringLiteral("FreeTDS"));
    qunsetenv("UPDATER_ODBC_DRIVER");
    QCOMPARE(ConnectionString::odbcDriver(), QStringLiteral("FreeTDS"));
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
    QCOMPARE(ConnectionString::masked(text, ConnectionString::secrets(oleDb(QStringLiteral("h")))), expected);
}

void TestDatabase::runsBatchesOnTheServer()
{
    DatabaseFixture fixture;
    REQUIRE_DATABASE(fixture);
    OdbcDatabase database;
    database.open(oleDb(DatabaseFixture::kServer));
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
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("connection");
    QTest::addColumn<QString>("mentions");
    const QString pg = QStringLiteral("PostgreSQL Unicode");
    QTest::newRow("wrong password") << pg << oleDb(DatabaseFixture::kServer, QStringLiteral("wr0ng-secret"))
                                    << QStringLiteral("password");
    QTest::newRow("nobody listening") << pg << oleDb(QStringLiteral("127.0.0.2")) << QStringLiteral("127.0.0.2");
    QTest::newRow("unknown ODBC driver") << QStringLiteral("No Such Driver") << oleDb(DatabaseFixture::kServer)
                                         << QStringLiteral("No Such Driver");
}

void TestDatabase::openFailures()
{
    QFETCH(QString, driver);
    QFETCH(QString, connection);
    QFETCH(QString, mentions);
    DatabaseFixture fixture;
    REQUIRE_DATABASE(fixture);
    OdbcDatabase database(driver);
    const Failure failure = failureOf([&] { database.open(connection); });
    QCOMPARE(failure.number, DatabaseCode::OpenFailed);
    QVERIFY2(failure.description.contains(mentions), qPrintable(failure.description));
    for (const QString &secret : ConnectionString::secrets(connection))
        QVERIFY2(!failure.description.contains(secret), qPrintable(failure.description));
}

void TestDatabase::windowKeepsRunningDuringABatch()
{
    DatabaseFixture fixture;
    REQUIRE_DATABASE(fixture);
    OdbcDatabase database;
    database.open(oleDb(DatabaseFixture::kServer));
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
