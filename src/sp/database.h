#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// One connection to the application's database, as the stored-procedure
// update uses it: open, run batches one by one, close. Every failure is
// thrown as a Failure whose description never holds the password.
class Database
{
public:
    virtual ~Database() = default;
    // Opens the connection described by an OLE DB connection string
    // ("Provider=SQLOLEDB;Data Source=...;Initial Catalog=...;User ID=...;
    // Password=...;").
    virtual void open(const QString &connectionString) = 0;
    // Runs one batch as text, discarding any result. A batch holding a NUL
    // character is refused without being run.
    virtual void execute(const QString &batch) = 0;
    // Closes the connection; harmless when it is not open. Never throws.
    virtual void close() = 0;
};

// Makes a fresh, unopened connection object for one action.
using DatabaseFactory = std::function<std::unique_ptr<Database>()>;

// Failure numbers of the database layer.
namespace DatabaseCode {
constexpr int BadConnectionString = 3001; // not a connection string the tool can use
constexpr int UnknownProvider = 3002;     // a provider other than SQL Server's
constexpr int NoServer = 3003;            // the server name is empty
constexpr int NoDriver = 3004;            // Qt's ODBC driver is not installed
constexpr int OpenFailed = 3005;          // the server refused or could not be reached
constexpr int ExecuteFailed = 3006;       // a batch failed
constexpr int NotOpen = 3007;             // a batch without an open connection
constexpr int BadServerName = 3008;       // CONSTR.txt's server name cannot name a server
} // namespace DatabaseCode

namespace ConnectionString {

// The ODBC driver the connection strings name: UPDATER_ODBC_DRIVER when set
// and not empty, else "SQL Server" on Windows and "FreeTDS" elsewhere.
QString odbcDriver();

// The ODBC form of an OLE DB connection string for SQL Server:
// "DRIVER={driver};SERVER=...;DATABASE=...;UID=...;PWD=...;" from Data
// Source, Initial Catalog, User ID and Password. Values that need it are
// enclosed in braces. Throws Failure for another provider, an unknown or
// malformed keyword, or an empty Data Source; the description names the
// problem but never a value.
QString toOdbc(const QString &oleDbString, const QString &driver);

// The passwords a connection string holds, to be kept out of every message.
QStringList secrets(const QString &connectionString);

// The text with every PWD=/Password= value and every given secret masked.
QString masked(const QString &text, const QStringList &secrets);

} // namespace ConnectionString
