#pragma once

#include "sp/database.h"

#include <QString>

#include <optional>

// The journal of the script's runs, the table updater_journal in the
// application's database: one row per run, written on a connection of its
// own in autocommit, so that neither the script's transactions nor a lost
// script connection take a row with them. A run's row is written
// "started" before its first batch and given its outcome at its end; a run
// that was killed, or whose end could not be written, leaves it "started".
// Made when missing; where the login may not make it, there is no journal
// (open() fails), and RunGuard decides whether the run goes on.
class Journal
{
public:
    // How a run ended, as the journal's rows say it.
    static inline const QString kStarted = QStringLiteral("started");
    static inline const QString kSucceeded = QStringLiteral("succeeded");
    static inline const QString kFailed = QStringLiteral("failed");
    static inline const QString kCancelled = QStringLiteral("cancelled");
    static inline const QString kConnectionLost = QStringLiteral("connection lost");

    // What a run writes when it starts.
    struct Run
    {
        QString sha256; // of LATEST.sql's bytes, lower-case hex
        qint64 bytes = 0;
        std::optional<qint64> releaseSerial; // none: NULL
        QString desk;
        QString user;
    };
    // A row as it is read back.
    struct Row
    {
        QString outcome;
        QString started; // "2026-12-09 11:40:02", UTC
        QString desk;
        int batches = 0;
        int failedBatches = 0;
    };

    // `schema`: where the table is; empty: the login's default schema (dbo
    // on SQL Server, public on PostgreSQL).
    Journal(Database &connection, QString schema);

    // Makes the table when it is missing and checks that it can be read.
    // Throws a Failure that says why there is no journal.
    void open();
    // The latest row of the script that ran to its end (succeeded or
    // failed); the latest left "started".
    std::optional<Row> lastEnded(const QString &sha256);
    std::optional<Row> lastStarted(const QString &sha256);
    // The highest release serial of a run that succeeded; none when no
    // such run names one.
    std::optional<qint64> highestSucceededSerial();
    // Writes the run's "started" row; returns its id.
    QString begin(const Run &run);
    // Gives the run's row its outcome and counts, and reads it back:
    // throws when the row does not say so afterwards.
    void end(const QString &id, const QString &outcome, int batches, int failedBatches);
    // A statement that reads nothing, to keep the connection in use.
    void touch();

    // The table's name as the statements write it.
    QString table() const;

    // The statements, as they are sent to a server of the kind (? marks
    // the bound values).
    static QString createStatement(ServerKind kind, const QString &table);
    static QString readableStatement(const QString &table);
    static QString lookUpStatement(ServerKind kind, const QString &table, bool ended);
    static QString beginStatement(ServerKind kind, const QString &table);
    static QString endStatement(ServerKind kind, const QString &table);
    static QString serialStatement(const QString &table);
    static QString outcomeStatement(const QString &table);

    // UPDATER_JOURNAL_SCHEMA: the schema of the table and part of the run
    // lock's name; empty by default.
    static QString schemaFromEnvironment();

private:
    std::optional<Row> lookUp(const QString &sha256, bool ended);

    Database &m_connection;
    QString m_schema;
    ServerKind m_kind;
};
