#include "common/databasefixture.h"

#include "sp/database.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

void DatabaseFixture::chooseDriver()
{
    if (qEnvironmentVariable("UPDATER_ODBC_DRIVER").isEmpty())
        qputenv("UPDATER_ODBC_DRIVER", "PostgreSQL Unicode");
}

DatabaseFixture::DatabaseFixture()
{
    chooseDriver();
    const QString id = QUuid::createUuid().toString(QUuid::Id128);
    m_connection = QStringLiteral("fixture-") + id;
    m_schema = QStringLiteral("sp_") + id.left(12);
    // The runs' journal and lock belong to this test alone: tests, and
    // other people's test runs, share the one server.
    qputenv("UPDATER_JOURNAL_SCHEMA", m_schema.toUtf8());
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_connection);
    db.setDatabaseName(QStringLiteral("DRIVER={%1};SERVER=%2;DATABASE=Quorvel;UID=sa;PWD=tr5kelvo;")
                           .arg(ConnectionString::odbcDriver(), kServer));
    if (!db.open()) {
        m_error = db.lastError().text();
        return;
    }
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("CREATE SCHEMA ") + m_schema))
        m_error = query.lastError().text();
}

DatabaseFixture::~DatabaseFixture()
{
    qunsetenv("UPDATER_JOURNAL_SCHEMA");
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isOpen()) {
            QSqlQuery query(db);
            query.exec(QStringLiteral("DROP SCHEMA IF EXISTS %1 CASCADE").arg(m_schema));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

QStringList DatabaseFixture::values(const QString &sql)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(sql))
        return {QStringLiteral("error: ") + query.lastError().text()};
    QStringList result;
    while (query.next())
        result << query.value(0).toString();
    return result;
}

bool DatabaseFixture::tableExists(const QString &table)
{
    return values(QStringLiteral("SELECT count(*) FROM information_schema.tables WHERE table_schema = '%1' "
                                 "AND table_name = '%2'")
                      .arg(m_schema, table))
        == QStringList{QStringLiteral("1")};
}
