#pragma once

#include "common/failure.h"
#include "sp/database.h"
#include "sp/workerthread.h"

#include <QStringList>

#include <functional>

// A Database over Qt SQL's ODBC driver. The connection lives on a worker
// thread of its own, made per object (sp/workerthread.h): every call is
// handed to that thread, and while a long one runs the caller keeps the
// window painting but leaves user input queued, so clicks are handled only
// where the action itself processes pending events.
class OdbcDatabase final : public Database
{
public:
    OdbcDatabase();
    ~OdbcDatabase() override;
    OdbcDatabase(const OdbcDatabase &) = delete;
    OdbcDatabase &operator=(const OdbcDatabase &) = delete;

    void open(const ConnectionSettings &settings) override;
    void execute(const QString &batch) override;
    void close() override;

    // A factory for the window.
    static DatabaseFactory factory();

private:
    // Runs work on the worker thread and waits for it; rethrows its failure.
    void call(const std::function<void()> &work);
    Failure failure(int number, const QString &text) const;

    QString m_connectionName;
    QStringList m_secrets;
    bool m_open = false;
    WorkerThread m_worker;
};
