#pragma once

#include "sp/database.h"

#include <memory>

class UpdateLog;

// A database connection whose opening and every batch (its number, time
// and outcome, with the server's message when it failed) are written to
// the update log. The password is handed to the log's mask before anything
// is written.
class LoggingDatabase final : public Database
{
public:
    LoggingDatabase(std::unique_ptr<Database> inner, UpdateLog &log) : m_inner(std::move(inner)), m_log(log) {}

    void open(const ConnectionSettings &settings) override;
    void execute(const QString &batch) override;
    void cancel() override;
    void close() override;
    ServerKind serverKind() override { return m_inner->serverKind(); }
    QStringList queryRow(const QString &statement, const QVariantList &values = {}) override
    {
        return m_inner->queryRow(statement, values);
    }

    // The factory's connections, each logging.
    static DatabaseFactory factory(DatabaseFactory inner, UpdateLog &log);

private:
    std::unique_ptr<Database> m_inner;
    UpdateLog &m_log;
};
