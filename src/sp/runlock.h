#pragma once

#include "sp/database.h"

#include <QString>

// The lock a run of the script holds on the application's database from
// before its first batch to its end, so that of the desks that share the
// database one runs the script at a time: SQL Server's application lock
// (sp_getapplock, owned by the session) or PostgreSQL's session-level
// advisory lock. The server lets go of either when the connection ends,
// however it ends (a desk switched off, a process killed). SQLite holds no
// lock across batches in autocommit: there none is taken. Taking it needs
// EXECUTE on the lock's procedure or function, which every login has
// unless a DBA took it away.
class RunLock
{
public:
    // `name`: the lock's name on the server (name()).
    RunLock(Database &connection, QString name);

    // Whether the connection's server has such a lock.
    bool available() const;
    // One try that never waits: true when the connection holds the lock
    // now. Throws the connection's failure.
    bool tryTake();
    // Lets go of a lock taken (the end of the connection does too). Never
    // throws.
    void release();

    // The lock of one journal table: "updater LATEST.sql " followed by
    // the table's schema as the server resolved it (resolvedSchema()) and
    // ".updater_journal". Every spelling that reaches one table takes one
    // lock.
    static QString name(const QString &resolvedSchema);
    // The schema the journal's table is in, as the server names it after
    // its own case folding: `schema` (empty: the login's default schema).
    // Throws a Failure that says why when there is none.
    static QString resolvedSchema(Database &connection, const QString &schema);
    // PostgreSQL's key for the name: the first 8 bytes of its SHA-256.
    static qint64 advisoryKey(const QString &name);
    // The statements, as they are sent.
    static QString takeStatement(ServerKind kind, const QString &name);
    static QString releaseStatement(ServerKind kind, const QString &name);
    static QString schemaStatement(ServerKind kind, bool named);

private:
    Database &m_connection;
    QString m_name;
    ServerKind m_kind;
    bool m_held = false;
};
