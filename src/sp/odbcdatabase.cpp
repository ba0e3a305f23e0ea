#include "sp/odbcdatabase.h"

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

const QString kDriverPlugin = QStringLiteral("QODBC");
// As long as SQL Server's own clients wait for a login.
const QString kConnectOptions = QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=15");
// A driver's message is cut here: some quote the whole statement.
constexpr qsizetype kMaxMessage = 2000;
// How many diagnostic records of one failure are read.
constexpr SQLSMALLINT kMaxRecords = 20;

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "ODBC's wide characters are UTF-16 code units");

QAtomicInt connectionCounter;

// What the driver says about a failure: the server's text where there is
// one, else Qt's.
QString describe(const QSqlError &error)
{
    const QString server = error.databaseText().trimmed();
    return server.isEmpty() ? error.driverText().trimmed() : server;
}

// The diagnostic records of a handle after a failure: their SQLSTATEs and
// their messages, each message once.
struct Diagnostics
{
    QStringList states;
    QString text;

    bool hasStateClass(QStringView prefix) const
    {
        return std::any_of(states.cbegin(), states.cend(),
                           [&](const QString &state) { return state.startsWith(prefix); });
    }
};

Diagnostics diagnostics(SQLSMALLINT type, SQLHANDLE handle)
{
    Diagnostics result;
    QStringList messages;
    for (SQLSMALLINT record = 1; record <= kMaxRecords; ++record) {
        SQLWCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLRETURN r = SQLGetDiagRecW(type, handle, record, state, &native, nullptr, 0, &length);
        if (!SQL_SUCCEEDED(r))
            break;
        QString message;
        if (length > 0) {
            const auto wanted = static_cast<SQLSMALLINT>(qMin<qsizetype>(length, kMaxMessage) + 1);
            QList<SQLWCHAR> buffer(wanted, 0);
            r = SQLGetDiagRecW(type, handle, record, state, &native, buffer.data(), wanted, &length);
            if (!SQL_SUCCEEDED(r))
                break;
            message = QString::fromUtf16(reinterpret_cast<const char16_t *>(buffer.constData()),
                                         qMin<qsizetype>(length, wanted - 1));
            if (length >= wanted)
                message += QStringLiteral("...");
        }
        result.states << QString::fromUtf16(reinterpret_cast<const char16_t *>(state), SQL_SQLSTATE_SIZE);
        message = message.trimmed();
        if (!message.isEmpty() && !messages.contains(message))
            messages << message;
    }
    result.text = messages.join(QLatin1Char(' '));
    return result;
}

// An ODBC statement on a connection, freed at the end of its scope unless
// it is taken over (release()).
class Statement
{
public:
    explicit Statement(SQLHDBC connection)
    {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection, &m_handle)))
            m_handle = SQL_NULL_HSTMT;
    }
    ~Statement()
    {
        if (m_handle != SQL_NULL_HSTMT)
            SQLFreeHandle(SQL_HANDLE_STMT, m_handle);
    }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    SQLHSTMT handle() const { return m_handle; }
    SQLHSTMT release()
    {
        const SQLHSTMT handle = m_handle;
        m_handle = SQL_NULL_HSTMT;
        return handle;
    }

    // A driver that cannot bound a statement runs it unbounded, as every
    // statement ran before the limit.
    void setTimeout(int seconds)
    {
        // ODBC passes an integer attribute in the pointer argument.
        SQLSetStmtAttr(m_handle, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), // NOLINT(performance-no-int-to-ptr)
                       SQL_IS_UINTEGER);
    }

private:
    SQLHSTMT m_handle = SQL_NULL_HSTMT;
};

// Runs the text on the statement and reads past every result it has: a
// server may report a later statement's failure only when its result is
// reached. The statement is then ready for the next text.
bool run(SQLHSTMT statement, const QString &text)
{
    QString copy = text; // the driver takes a writable buffer
    SQLRETURN r
        = SQLExecDirectW(statement, reinterpret_cast<SQLWCHAR *>(copy.data()), static_cast<SQLINTEGER>(copy.size()));
    if (r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO || r == SQL_NO_DATA) {
        do
            r = SQLMoreResults(statement);
        while (r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO);
    }
    return r == SQL_NO_DATA;
}

// The ODBC connection handle under Qt's connection.
SQLHDBC connectionHandle(const QSqlDatabase &db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (handle.metaType() != QMetaType::fromType<SQLHDBC>())
        return SQL_NULL_HDBC;
    return *static_cast<const SQLHDBC *>(handle.constData());
}

// Whether the connection is gone: the driver says so, or a statement that
// does nothing fails with a connection-failure state. Asked after a failure
// that did not name the connection itself (a driver may first report the
// server's reason for ending the session).
bool connectionGone(SQLHDBC connection, int timeout)
{
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (SQL_SUCCEEDED(SQLGetConnectAttrW(connection, SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr))
        && dead == SQL_CD_TRUE)
        return true;
    Statement probe(connection);
    if (probe.handle() == SQL_NULL_HSTMT)
        return diagnostics(SQL_HANDLE_DBC, connection).hasStateClass(u"08");
    probe.setTimeout(timeout);
    return !run(probe.handle(), QStringLiteral("SELECT 1"))
        && diagnostics(SQL_HANDLE_STMT, probe.handle()).hasStateClass(u"08");
}

// The kind of server behind the connection: as Qt's driver names it, else
// as the ODBC driver does (Qt names no SQLite).
ServerKind kindOf(const QSqlDatabase &db, SQLHDBC connection)
{
    switch (db.driver() ? db.driver()->dbmsType() : QSqlDriver::UnknownDbms) {
    case QSqlDriver::MSSqlServer: return ServerKind::SqlServer;
    case QSqlDriver::PostgreSQL: return ServerKind::PostgreSql;
    default: break;
    }
    if (connection == SQL_NULL_HDBC)
        return ServerKind::Other;
    SQLWCHAR name[128] = {};
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(connection, SQL_DBMS_NAME, name, sizeof(name), &length)))
        return ServerKind::Other;
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t *>(name),
                                            qMin<qsizetype>(length / qsizetype(sizeof(SQLWCHAR)), 127));
    if (text.contains(QLatin1String("SQLite"), Qt::CaseInsensitive))
        return ServerKind::Sqlite;
    if (text.contains(QLatin1String("Microsoft SQL Server"), Qt::CaseInsensitive))
        return ServerKind::SqlServer;
    if (text.contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive))
        return ServerKind::PostgreSql;
    return ServerKind::Other;
}

// A value bound to a statement's marker; it stays where it is until the
// statement has run.
struct BoundValue
{
    QString text;
    qint64 number = 0;
    SQLLEN indicator = 0;
};

bool isNumber(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong: return true;
    default: return false;
    }
}

// The longest text a column of the tool's own statements is read to.
constexpr SQLLEN kMaxColumnUnits = 1024;

} // namespace

OdbcDatabase::OdbcDatabase(Thread thread)
    : m_connectionName(QStringLiteral("updater-sp-%1").arg(connectionCounter.fetchAndAddRelaxed(1) + 1))
{
    if (thread == Thread::Worker)
        m_worker = std::make_unique<WorkerThread>(QStringLiteral("database"));
}

OdbcDatabase::~OdbcDatabase()
{
    close();
}

DatabaseFactory OdbcDatabase::factory(Thread thread)
{
    return [thread] { return std::make_unique<OdbcDatabase>(thread); };
}

Failure OdbcDatabase::failure(int number, const QString &text) const
{
    return Failure{number, ConnectionString::masked(text, m_secrets)};
}

void OdbcDatabase::call(const std::function<void()> &work)
{
    if (m_worker)
        m_worker->run(work);
    else
        work();
}

void OdbcDatabase::open(const ConnectionSettings &settings)
{
    close();
    m_secrets.clear();
    if (!settings.password.isEmpty())
        m_secrets << settings.password;
    m_commandTimeout = qMax(0, settings.commandTimeout);
    const QString odbc = ConnectionString::odbc(settings);
    if (!QSqlDatabase::isDriverAvailable(kDriverPlugin))
        throw failure(DatabaseCode::NoDriver, QStringLiteral("Qt's ODBC database driver (QODBC) is not installed."));
    call([&] {
        QSqlDatabase db = QSqlDatabase::addDatabase(kDriverPlugin, m_connectionName);
        db.setConnectOptions(kConnectOptions);
        db.setDatabaseName(odbc);
        if (db.open()) {
            m_connection = connectionHandle(db);
            m_kind = kindOf(db, static_cast<SQLHDBC>(m_connection));
            return;
        }
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
    if (batch.contains(QChar(0))) {
        throw failure(DatabaseCode::ExecuteFailed,
                      QStringLiteral("The batch was not run: it holds a NUL character (a zero byte), which SQL "
                                     "text never holds. A script saved as Unicode (UTF-16) must begin with its "
                                     "byte-order mark."));
    }
    m_cancelled = false;
    call([&] { runStatement(batch); });
}

void OdbcDatabase::runStatement(const QString &batch)
{
    auto *const connection = static_cast<SQLHDBC>(m_connection);
    if (connection == SQL_NULL_HDBC)
        throw failure(DatabaseCode::NotOpen, QStringLiteral("The connection to the database is not open."));
    if (!m_statement) {
        Statement statement(connection);
        if (statement.handle() == SQL_NULL_HSTMT) {
            const Diagnostics why = diagnostics(SQL_HANDLE_DBC, connection);
            throw failure(why.hasStateClass(u"08") ? DatabaseCode::ConnectionLost : DatabaseCode::ExecuteFailed,
                          why.text.isEmpty() ? QStringLiteral("The database did not run the batch.") : why.text);
        }
        if (m_commandTimeout > 0)
            statement.setTimeout(m_commandTimeout);
        m_statement = statement.release();
    }
    auto *const statement = static_cast<SQLHSTMT>(m_statement);

    QElapsedTimer clock;
    clock.start();
    {
        // A cancel that came before the statement was there is not lost.
        const std::lock_guard lock(m_runningMutex);
        if (m_cancelled)
            throw failure(DatabaseCode::Cancelled, QStringLiteral("The batch was cancelled before it started."));
        m_running = statement;
    }
    const bool ran = run(statement, batch);
    {
        const std::lock_guard lock(m_runningMutex);
        m_running = nullptr;
    }
    if (ran)
        return;

    const Diagnostics why = diagnostics(SQL_HANDLE_STMT, statement);
    // The next batch starts on a new statement, whatever state this one
    // was left in.
    freeStatement();
    QString text = why.text.isEmpty() ? QStringLiteral("The database did not run the batch.") : why.text;
    if (m_cancelled)
        throw failure(DatabaseCode::Cancelled, text);
    if (why.hasStateClass(u"08"))
        throw failure(DatabaseCode::ConnectionLost, text);
    // The ODBC state of a timeout, or the server's own "statement
    // cancelled" when the driver bounds the statement on the server.
    const bool timedOut = m_commandTimeout > 0 && clock.elapsed() >= qint64{m_commandTimeout} * 1000 - 500
        && (why.states.contains(QStringLiteral("HYT00")) || why.states.contains(QStringLiteral("57014")));
    if (timedOut) {
        throw failure(DatabaseCode::ExecuteFailed,
                      text
                          + QStringLiteral(" (The batch was stopped after %1 seconds, the time one batch may run.)")
                                .arg(m_commandTimeout));
    }
    if (connectionGone(connection, m_commandTimeout))
        throw failure(DatabaseCode::ConnectionLost, text);
    throw failure(DatabaseCode::ExecuteFailed, text);
}

void OdbcDatabase::freeStatement()
{
    if (m_statement)
        SQLFreeHandle(SQL_HANDLE_STMT, static_cast<SQLHSTMT>(m_statement));
    m_statement = nullptr;
}

void OdbcDatabase::cancel()
{
    m_cancelled = true;
    const std::lock_guard lock(m_runningMutex);
    if (m_running)
        SQLCancel(m_running);
}

void OdbcDatabase::close()
{
    if (!m_open)
        return;
    m_open = false;
    try {
        call([&] {
            freeStatement();
            m_connection = nullptr;
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

ServerKind OdbcDatabase::serverKind()
{
    return m_kind;
}

QStringList OdbcDatabase::queryRow(const QString &statement, const QVariantList &values)
{
    if (!m_open)
        throw failure(DatabaseCode::NotOpen, QStringLiteral("The connection to the database is not open."));
    QStringList row;
    call([&] {
        auto *const connection = static_cast<SQLHDBC>(m_connection);
        Statement query(connection);
        if (query.handle() == SQL_NULL_HSTMT) {
            const Diagnostics why = diagnostics(SQL_HANDLE_DBC, connection);
            throw failure(why.hasStateClass(u"08") ? DatabaseCode::ConnectionLost : DatabaseCode::ExecuteFailed,
                          why.text.isEmpty() ? QStringLiteral("The database did not run the statement.") : why.text);
        }
        if (m_commandTimeout > 0)
            query.setTimeout(m_commandTimeout);
        std::vector<BoundValue> bound(static_cast<size_t>(values.size()));
        for (qsizetype i = 0; i < values.size(); ++i) {
            const QVariant &value = values.at(i);
            BoundValue &slot = bound[static_cast<size_t>(i)];
            const auto marker = static_cast<SQLUSMALLINT>(i + 1);
            SQLRETURN r = SQL_ERROR;
            if (isNumber(value)) {
                slot.number = value.toLongLong();
                slot.indicator = value.isNull() ? SQL_NULL_DATA : 0;
                r = SQLBindParameter(query.handle(), marker, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                     &slot.number, 0, &slot.indicator);
            } else {
                slot.text = value.toString();
                const auto bytes = static_cast<SQLLEN>(slot.text.size() * qsizetype(sizeof(SQLWCHAR)));
                slot.indicator = value.isNull() ? SQL_NULL_DATA : bytes;
                r = SQLBindParameter(query.handle(), marker, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                     static_cast<SQLULEN>(qMax<qsizetype>(1, slot.text.size())), 0, slot.text.data(),
                                     bytes, &slot.indicator);
            }
            if (!SQL_SUCCEEDED(r))
                throwFailure(query.handle(), QStringLiteral("The database did not take the statement's values."));
        }
        QString text = statement; // the driver takes a writable buffer
        SQLRETURN r = SQLExecDirectW(query.handle(), reinterpret_cast<SQLWCHAR *>(text.data()),
                                     static_cast<SQLINTEGER>(text.size()));
        if (!SQL_SUCCEEDED(r) && r != SQL_NO_DATA)
            throwFailure(query.handle(), QStringLiteral("The database did not run the statement."));
        // The first result that has columns: SQL Server answers the
        // statements before it with results of their own.
        SQLSMALLINT columns = 0;
        for (;;) {
            if (SQL_SUCCEEDED(SQLNumResultCols(query.handle(), &columns)) && columns > 0)
                break;
            r = SQLMoreResults(query.handle());
            if (r == SQL_NO_DATA)
                return;
            if (!SQL_SUCCEEDED(r))
                throwFailure(query.handle(), QStringLiteral("The database did not run the statement."));
        }
        r = SQLFetch(query.handle());
        if (r == SQL_NO_DATA)
            return;
        if (!SQL_SUCCEEDED(r))
            throwFailure(query.handle(), QStringLiteral("The database did not answer the statement."));
        for (SQLUSMALLINT column = 1; column <= static_cast<SQLUSMALLINT>(columns); ++column) {
            SQLWCHAR buffer[kMaxColumnUnits + 1] = {};
            SQLLEN length = 0;
            r = SQLGetData(query.handle(), column, SQL_C_WCHAR, buffer, sizeof(buffer), &length);
            if (!SQL_SUCCEEDED(r))
                throwFailure(query.handle(), QStringLiteral("The database did not answer the statement."));
            if (length == SQL_NULL_DATA) {
                row << QString();
                continue;
            }
            const SQLLEN units = length == SQL_NO_TOTAL
                ? kMaxColumnUnits
                : qMin<SQLLEN>(length / SQLLEN(sizeof(SQLWCHAR)), kMaxColumnUnits);
            row << QString::fromUtf16(reinterpret_cast<const char16_t *>(buffer), units);
        }
        SQLCloseCursor(query.handle());
    });
    return row;
}

void OdbcDatabase::throwFailure(void *statement, const QString &fallback)
{
    const Diagnostics why = diagnostics(SQL_HANDLE_STMT, static_cast<SQLHSTMT>(statement));
    const QString text = why.text.isEmpty() ? fallback : why.text;
    if (why.hasStateClass(u"08") || connectionGone(static_cast<SQLHDBC>(m_connection), m_commandTimeout))
        throw failure(DatabaseCode::ConnectionLost, text);
    throw failure(DatabaseCode::ExecuteFailed, text);
}
