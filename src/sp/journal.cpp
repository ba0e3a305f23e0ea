#include "sp/journal.h"

#include "common/failure.h"

#include <QRegularExpression>
#include <QUuid>

namespace {

// What differs between the servers: the column types, the server's clock
// (UTC) and a time as text.
struct Dialect
{
    QString text;
    QString time;
    QString now;
    QString timeAsText; // %1: the column
};

Dialect dialect(ServerKind kind)
{
    switch (kind) {
    case ServerKind::SqlServer:
        return {QStringLiteral("nvarchar(255)"), QStringLiteral("datetime2(3)"), QStringLiteral("SYSUTCDATETIME()"),
                QStringLiteral("CONVERT(char(19), %1, 120)")};
    case ServerKind::PostgreSql:
        return {QStringLiteral("varchar(255)"), QStringLiteral("timestamptz"), QStringLiteral("CURRENT_TIMESTAMP"),
                QStringLiteral("to_char(%1 AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS')")};
    case ServerKind::Sqlite:
    case ServerKind::Other: break;
    }
    return {QStringLiteral("text"), QStringLiteral("text"), QStringLiteral("strftime('%Y-%m-%d %H:%M:%f', 'now')"),
            QStringLiteral("substr(%1, 1, 19)")};
}

} // namespace

Journal::Journal(Database &connection, QString schema)
    : m_connection(connection), m_schema(std::move(schema)), m_kind(connection.serverKind())
{
}

QString Journal::table() const
{
    const QString name = QStringLiteral("updater_journal");
    return m_schema.isEmpty() ? name : m_schema + QLatin1Char('.') + name;
}

QString Journal::schemaFromEnvironment()
{
    return qEnvironmentVariable("UPDATER_JOURNAL_SCHEMA").trimmed();
}

QString Journal::createStatement(ServerKind kind, const QString &table)
{
    const Dialect d = dialect(kind);
    const QString columns = QStringLiteral("(run_id char(36) NOT NULL PRIMARY KEY, script_sha256 char(64) NOT NULL, "
                                           "script_bytes bigint NOT NULL, release_serial bigint NULL, "
                                           "desk %1 NOT NULL, os_user %1 NOT NULL, started_at %2 NOT NULL, "
                                           "ended_at %2 NULL, outcome varchar(20) NOT NULL, "
                                           "batches_run int NOT NULL, batches_failed int NOT NULL)")
                                .arg(d.text, d.time);
    if (kind == ServerKind::SqlServer) {
        return QStringLiteral("IF OBJECT_ID(N'%1', N'U') IS NULL CREATE TABLE %1 %2").arg(table, columns);
    }
    return QStringLiteral("CREATE TABLE IF NOT EXISTS %1 %2").arg(table, columns);
}

QString Journal::readableStatement(const QString &table)
{
    return QStringLiteral("SELECT count(*) FROM %1 WHERE 1 = 0").arg(table);
}

QString Journal::lookUpStatement(ServerKind kind, const QString &table, bool ended)
{
    const QString which
        = ended ? QStringLiteral("outcome IN ('succeeded', 'failed')") : QStringLiteral("outcome = 'started'");
    return QStringLiteral("SELECT outcome, %1, desk, batches_run, batches_failed FROM %2 "
                          "WHERE script_sha256 = ? AND %3 ORDER BY started_at DESC")
        .arg(dialect(kind).timeAsText.arg(QStringLiteral("started_at")), table, which);
}

QString Journal::beginStatement(ServerKind kind, const QString &table)
{
    return QStringLiteral("INSERT INTO %1 (run_id, script_sha256, script_bytes, release_serial, desk, os_user, "
                          "started_at, outcome, batches_run, batches_failed) "
                          "VALUES (?, ?, ?, ?, ?, ?, %2, 'started', 0, 0)")
        .arg(table, dialect(kind).now);
}

QString Journal::endStatement(ServerKind kind, const QString &table)
{
    return QStringLiteral("UPDATE %1 SET ended_at = %2, outcome = ?, batches_run = ?, batches_failed = ? "
                          "WHERE run_id = ?")
        .arg(table, dialect(kind).now);
}

QString Journal::serialStatement(const QString &table)
{
    return QStringLiteral("SELECT max(release_serial) FROM %1 WHERE outcome = 'succeeded'").arg(table);
}

QString Journal::outcomeStatement(const QString &table)
{
    return QStringLiteral("SELECT outcome FROM %1 WHERE run_id = ?").arg(table);
}

void Journal::open()
{
    static const QRegularExpression plainName(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]{0,62}$"));
    if (!m_schema.isEmpty() && !plainName.match(m_schema).hasMatch()) {
        throw Failure{DatabaseCode::ExecuteFailed,
                      QStringLiteral("the journal's schema \"%1\" is not a plain name").arg(m_schema)};
    }
    if (m_kind == ServerKind::Other)
        throw Failure{DatabaseCode::ExecuteFailed,
                      QStringLiteral("the server is neither SQL Server, PostgreSQL nor SQLite")};
    const std::optional<Failure> created = attempt([&] { m_connection.queryRow(createStatement(m_kind, table())); });
    if (!created)
        return;
    // A login that may not make tables may still write one that is there.
    if (attempt([&] { m_connection.queryRow(readableStatement(table())); }))
        throw *created;
}

std::optional<Journal::Row> Journal::lookUp(const QString &sha256, bool ended)
{
    const QStringList found = m_connection.queryRow(lookUpStatement(m_kind, table(), ended), {sha256});
    if (found.size() < 5)
        return std::nullopt;
    return Row{found.at(0).trimmed(), found.at(1), found.at(2), found.at(3).toInt(), found.at(4).toInt()};
}

std::optional<Journal::Row> Journal::lastEnded(const QString &sha256)
{
    return lookUp(sha256, true);
}

std::optional<Journal::Row> Journal::lastStarted(const QString &sha256)
{
    return lookUp(sha256, false);
}

QString Journal::begin(const Run &run)
{
    QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QVariant serial = run.releaseSerial ? QVariant(*run.releaseSerial) : QVariant(QMetaType::fromType<qint64>());
    m_connection.queryRow(beginStatement(m_kind, table()), {id, run.sha256, run.bytes, serial, run.desk, run.user});
    return id;
}

std::optional<qint64> Journal::highestSucceededSerial()
{
    const QString found = m_connection.queryRow(serialStatement(table())).value(0).trimmed();
    bool ok = false;
    const qint64 serial = found.toLongLong(&ok);
    return ok ? std::optional<qint64>(serial) : std::nullopt;
}

void Journal::end(const QString &id, const QString &outcome, int batches, int failedBatches)
{
    m_connection.queryRow(endStatement(m_kind, table()), {outcome, batches, failedBatches, id});
    // An update the server accepted may still have changed no row (the
    // table replaced meanwhile, or a rule on it).
    const QString written = m_connection.queryRow(outcomeStatement(table()), {id}).value(0).trimmed();
    if (written != outcome) {
        throw Failure{DatabaseCode::ExecuteFailed,
                      QStringLiteral("the run's row %1 says \"%2\" after it was ended").arg(id, written)};
    }
}

void Journal::touch()
{
    m_connection.queryRow(readableStatement(table()));
}
