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
// no rights beyond the connection.
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

    // "updater LATEST.sql", followed by the journal's schema when it has one.
    static QString name(const QString &schema);
    // PostgreSQL's key for the name: the first 8 bytes of its SHA-256.
    static qint64 advisoryKey(const QString &name);
    // The statements, as they are sent.
    static QString takeStatement(ServerKind kind, const QString &name);
    static QString releaseStatement(ServerKind kind, const QString &name);

private:
    Database &m_connection;
    QString m_name;
    ServerKind m_kind;
    bool m_held = false;
};
