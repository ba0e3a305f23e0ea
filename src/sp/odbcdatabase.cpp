#include "sp/odbcdatabase.h"

#include <QAtomicInt>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <memory>

namespace {

const QString kDriverPlugin = QStringLiteral("QODBC");
// As long as SQL Server's own clients wait for a login.
const QString kConnectOptions = QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=15");

QAtomicInt connectionCounter;

// What the driver says about a failure: the server's text where there is
// one, else Qt's.
QString describe(const QSqlError &error)
{
    const QString server = error.databaseText().trimmed();
    return server.isEmpty() ? error.driverText().trimmed() : server;
}

} // namespace

OdbcDatabase::OdbcDatabase()
    : m_connectionName(QStringLiteral("updater-sp-%1").arg(connectionCounter.fetchAndAddRelaxed(1) + 1)),
      m_worker(QStringLiteral("database"))
{
}

OdbcDatabase::~OdbcDatabase()
{
    close();
}

DatabaseFactory OdbcDatabase::factory()
{
    return [] { return std::make_unique<OdbcDatabase>(); };
}

Failure OdbcDatabase::failure(int number, const QString &text) const
{
    return Failure{number, ConnectionString::masked(text, m_secrets)};
}

void OdbcDatabase::call(const std::function<void()> &work)
{
    m_worker.run(work);
}

void OdbcDatabase::open(const ConnectionSettings &settings)
{
    close();
    m_secrets.clear();
    if (!settings.password.isEmpty())
        m_secrets << settings.password;
    const QString odbc = ConnectionString::odbc(settings);
    if (!QSqlDatabase::isDriverAvailable(kDriverPlugin))
        throw failure(DatabaseCode::NoDriver, QStringLiteral("Qt's ODBC database driver (QODBC) is not installed."));
    call([&] {
        QSqlDatabase db = QSqlDatabase::addDatabase(kDriverPlugin, m_connectionName);
        db.setConnectOptions(kConnectOptions);
        db.setDatabaseName(odbc);
        if (db.open())
            return;
        const QString text = describe(db.lastError());
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
        throw failure(DatabaseCode::OpenFailed,
                      text.isEmpty() ? QStringLiteral("The database server could not be reached.") : text);
    });
    m_open = true;
}

void OdbcDatabase::execute(const QString &batch)
{
    if (!m_open)
        throw failure(DatabaseCode::NotOpen, QStringLiteral("The connection to the database is not open."));
    // The driver takes a NUL as the end of the text and would run only what
    // comes before it, as if that were the whole batch.
    if (batch.contains(QChar(0)))
        throw failure(DatabaseCode::ExecuteFailed,
                      QStringLiteral("The batch was not run: it holds a NUL character (a zero byte), which SQL "
                                     "text never holds. A script saved as Unicode (UTF-16) must be saved as ANSI "
                                     "text."));
    call([&] {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        QSqlQuery query(db);
        query.setForwardOnly(true);
        if (!query.exec(batch)) {
            const QString text = describe(query.lastError());
            throw failure(DatabaseCode::ExecuteFailed,
                          text.isEmpty() ? QStringLiteral("The database did not run the batch.") : text);
        }
        // A batch of several statements has a result for each: a server
        // may report a later statement's failure only when its result is
        // reached.
        while (query.nextResult()) {
        }
        if (query.lastError().isValid()) {
            const QString text = describe(query.lastError());
            throw failure(DatabaseCode::ExecuteFailed,
                          text.isEmpty() ? QStringLiteral("The database did not run the batch.") : text);
        }
        query.finish();
    });
}

void OdbcDatabase::close()
{
    if (!m_open)
        return;
    m_open = false;
    try {
        call([&] {
            {
                QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
                db.close();
            }
            QSqlDatabase::removeDatabase(m_connectionName);
        });
    } catch (...) {
        // Closing has nothing to report.
    }
}
