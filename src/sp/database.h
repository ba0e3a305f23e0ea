#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>
#include <memory>

// How long one batch may run, in seconds, unless told otherwise: the
// command timeout of the clients the scripts are written for.
inline constexpr int kDefaultCommandTimeout = 30;

// What a connection to the application's database is made of.
struct ConnectionSettings
{
    QString driver; // the ODBC driver, as DRIVER={...} names it
    QString server; // a machine name, MACHINE\INSTANCE, or an address
    QString database;
    QString login;
    QString password; // never shown: every text that could hold it is masked
    // Seconds a batch may run before the driver stops it; 0: no limit.
    int commandTimeout = kDefaultCommandTimeout;
};

// The kinds of database server the run's lock and journal know: SQL Server
// (the schools' server), PostgreSQL (the tests' server) and SQLite (the
// demo's embedded database).
enum class ServerKind { SqlServer, PostgreSql, Sqlite, Other };

// One connection to the application's database, as the stored-procedure
// update uses it: open, run batches one by one, close. Every failure is
// thrown as a Failure whose description never holds the password.
class Database
{
public:
    virtual ~Database() = default;
    // Opens the connection.
    virtual void open(const ConnectionSettings &settings) = 0;
    // Runs one batch as text, discarding any result. A batch holding a NUL
    // character is refused without being run. A failure is thrown with the
    // number ExecuteFailed; ConnectionLost when the connection is gone (a
    // connection-failure state of the driver, SQLSTATE class 08, or a
    // connection found dead after the failure); Cancelled when cancel()
    // stopped the batch.
    virtual void execute(const QString &batch) = 0;
    // Asks the driver to stop the batch that execute() is running. Called
    // on the thread that called execute(), from an event handled while it
    // waits; harmless when no batch runs. Never throws.
    virtual void cancel() = 0;
    // Closes the connection; harmless when it is not open. Never throws.
    virtual void close() = 0;

    // The kind of server the open connection reaches.
    virtual ServerKind serverKind() = 0;
    // Runs one statement of the tool's own (the run's lock, its journal)
    // with `values` bound to its ? markers in order (text, whole numbers; a
    // null QVariant of a number type is a NULL number, any other null a
    // NULL text), and returns the columns of its first row as text (NULL
    // as a null QString); empty when it returns no row. Fails as execute()
    // does. Nothing of it is written to the update log.
    virtual QStringList queryRow(const QString &statement, const QVariantList &values = {}) = 0;
};

// Makes a fresh, unopened connection object for one action.
using DatabaseFactory = std::function<std::unique_ptr<Database>()>;

// Failure numbers of the database layer.
namespace DatabaseCode {
constexpr int NoServer = 3003;       // the server name is empty
constexpr int NoDriver = 3004;       // Qt's ODBC driver is not installed
constexpr int OpenFailed = 3005;     // the server refused or could not be reached
constexpr int ExecuteFailed = 3006;  // a batch failed
constexpr int NotOpen = 3007;        // a batch without an open connection
constexpr int BadServerName = 3008;  // CONSTR.txt's server name cannot name a server
constexpr int Cancelled = 3009;      // a batch stopped at the user's request
constexpr int ConnectionLost = 3010; // the connection went away under a batch
} // namespace DatabaseCode

namespace ConnectionString {

// The ODBC driver the connections name: UPDATER_ODBC_DRIVER when set and
// not empty, else "SQL Server" on Windows and "FreeTDS" elsewhere.
QString odbcDriver();

// The ODBC connection string of the settings:
// "DRIVER={driver};SERVER=...;DATABASE=...;UID=...;PWD=...;", each value in
// braces where it could be read otherwise ("}" doubled inside them).
// Throws Failure (DatabaseCode::NoServer) for an empty server name.
QString odbc(const ConnectionSettings &settings);

// The text with every PWD=/Password= value and every given secret masked.
QString masked(const QString &text, const QStringList &secrets);

} // namespace ConnectionString
