#pragma once

#include <QString>
#include <QStringList>
#include <QTest>

// The database of the stored-procedure tests: the local PostgreSQL server
// that scripts/test starts (login sa, database Quorvel on 127.0.0.1:5432),
// reached through the same ODBC path as the tool, with the driver
// "PostgreSQL Unicode" unless UPDATER_ODBC_DRIVER names another. Each
// fixture makes a schema of its own for the test's tables and drops it at
// the end; the tool's journal of runs and its run lock are kept there too
// (UPDATER_JOURNAL_SCHEMA, for the tool in this process and the ones it
// starts).
class DatabaseFixture
{
public:
    static inline const QString kServer = QStringLiteral("127.0.0.1");

    // Sets UPDATER_ODBC_DRIVER for the code under test when it is not set.
    static void chooseDriver();

    DatabaseFixture();
    ~DatabaseFixture();
    DatabaseFixture(const DatabaseFixture &) = delete;
    DatabaseFixture &operator=(const DatabaseFixture &) = delete;

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    // A fresh schema name, for the scripts of this test.
    QString schema() const { return m_schema; }

    // The first column of every row of a query; an "error: ..." entry when
    // it fails.
    QStringList values(const QString &sql);
    bool tableExists(const QString &table);

private:
    QString m_connection;
    QString m_schema;
    QString m_error;
};

// The database tests need the server: without it they fail under CI and
// are skipped elsewhere.
#define REQUIRE_DATABASE(fixture)                                                                                      \
    do {                                                                                                               \
        if (!(fixture).ok()) {                                                                                         \
            const QByteArray why                                                                                       \
                = "PostgreSQL is not reachable (scripts/test starts it): " + (fixture).error().toUtf8();               \
            if (qEnvironmentVariable("CI") == QLatin1String("true"))                                                   \
                QFAIL(why.constData());                                                                                \
            QSKIP(why.constData());                                                                                    \
        }                                                                                                              \
    } while (false)
