#include "sp/runlock.h"

#include "common/failure.h"

#include <QCryptographicHash>
#include <QtEndian>

namespace {

// A text in SQL Server's Unicode quotes.
QString unicodeLiteral(const QString &text)
{
    return QStringLiteral("N'") + QString(text).replace(QLatin1Char('\''), QStringLiteral("''")) + QLatin1Char('\'');
}

} // namespace

RunLock::RunLock(Database &connection, QString name)
    : m_connection(connection), m_name(std::move(name)), m_kind(connection.serverKind())
{
}

bool RunLock::available() const
{
    return m_kind == ServerKind::SqlServer || m_kind == ServerKind::PostgreSql;
}

QString RunLock::name(const QString &resolvedSchema)
{
    return QStringLiteral("updater LATEST.sql %1.updater_journal").arg(resolvedSchema);
}

QString RunLock::schemaStatement(ServerKind kind, bool named)
{
    switch (kind) {
    case ServerKind::SqlServer:
        return named ? QStringLiteral("SELECT SCHEMA_NAME(SCHEMA_ID(?))") : QStringLiteral("SELECT SCHEMA_NAME()");
    case ServerKind::PostgreSql:
        // to_regnamespace() reads the name as an unquoted identifier does.
        return named ? QStringLiteral("SELECT nspname FROM pg_namespace WHERE oid = to_regnamespace(?)")
                     : QStringLiteral("SELECT current_schema()");
    case ServerKind::Sqlite:
    case ServerKind::Other: break;
    }
    return {};
}

QString RunLock::resolvedSchema(Database &connection, const QString &schema)
{
    const ServerKind kind = connection.serverKind();
    const bool named = !schema.isEmpty();
    const QStringList row
        = connection.queryRow(schemaStatement(kind, named), named ? QVariantList{schema} : QVariantList{});
    QString resolved = row.value(0).trimmed();
    if (!resolved.isEmpty())
        return resolved;
    throw Failure{DatabaseCode::ExecuteFailed,
                  named ? QStringLiteral("the journal's schema \"%1\" (UPDATER_JOURNAL_SCHEMA) does not exist in the "
                                         "database")
                              .arg(schema)
                        : QStringLiteral("the login has no default schema for the journal")};
}

qint64 RunLock::advisoryKey(const QString &name)
{
    const QByteArray digest = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256);
    return qFromBigEndian<qint64>(digest.constData());
}

QString RunLock::takeStatement(ServerKind kind, const QString &name)
{
    switch (kind) {
    case ServerKind::SqlServer:
        // 0 or 1: granted; below 0: not granted (-1 busy). The session's
        // settings stay as they were: the script runs on it next.
        return QStringLiteral("DECLARE @result int; EXEC @result = sp_getapplock @Resource = %1, "
                              "@LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0; SELECT @result")
            .arg(unicodeLiteral(name));
    case ServerKind::PostgreSql:
        return QStringLiteral("SELECT CASE WHEN pg_try_advisory_lock(%1) THEN 1 ELSE -1 END").arg(advisoryKey(name));
    case ServerKind::Sqlite:
    case ServerKind::Other: break;
    }
    return {};
}

QString RunLock::releaseStatement(ServerKind kind, const QString &name)
{
    switch (kind) {
    case ServerKind::SqlServer:
        return QStringLiteral("EXEC sp_releaseapplock @Resource = %1, @LockOwner = 'Session'")
            .arg(unicodeLiteral(name));
    case ServerKind::PostgreSql: return QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(advisoryKey(name));
    case ServerKind::Sqlite:
    case ServerKind::Other: break;
    }
    return {};
}

bool RunLock::tryTake()
{
    if (!available())
        return false;
    const QStringList row = m_connection.queryRow(takeStatement(m_kind, m_name));
    bool ok = false;
    const int result = row.value(0).trimmed().toInt(&ok);
    if (!ok) {
        throw Failure{DatabaseCode::ExecuteFailed,
                      QStringLiteral("The database's lock gave no answer (\"%1\").").arg(row.join(u','))};
    }
    m_held = result >= 0;
    return m_held;
}

void RunLock::release()
{
    if (!m_held)
        return;
    m_held = false;
    attempt([&] { m_connection.queryRow(releaseStatement(m_kind, m_name)); });
}
