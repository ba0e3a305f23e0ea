#pragma once

#include "common/failure.h"
#include "sp/database.h"
#include "sp/workerthread.h"

#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

// A Database over Qt SQL's ODBC driver. The connection lives on a worker
// thread of its own, made per object (sp/workerthread.h): every call is
// handed to that thread, and while a long one runs the caller keeps the
// window painting but leaves user input queued, so clicks are handled only
// where the action itself processes pending events. Qt SQL opens and
// closes the connection; the batches run on one ODBC statement on that
// connection (made again after a failure), which carries the command
// timeout and is what cancel() stops.
class OdbcDatabase final : public Database
{
public:
    // Where the connection lives: on a worker thread of its own, so that the
    // window keeps painting while a batch runs, or, where there is no
    // window, on the caller's thread, which then waits in the driver.
    enum class Thread { Worker, Caller };

    explicit OdbcDatabase(Thread thread = Thread::Worker);
    ~OdbcDatabase() override;
    OdbcDatabase(const OdbcDatabase &) = delete;
    OdbcDatabase &operator=(const OdbcDatabase &) = delete;

    void open(const ConnectionSettings &settings) override;
    void execute(const QString &batch) override;
    void cancel() override;
    void close() override;
    ServerKind serverKind() override;
    QStringList queryRow(const QString &statement, const QVariantList &values = {}) override;

    static DatabaseFactory factory(Thread thread = Thread::Worker);

private:
    // Runs work on the worker thread and waits for it; rethrows its failure.
    void call(const std::function<void()> &work);
    Failure failure(int number, const QString &text) const;
    // On the worker thread: runs the batch on the connection's statement.
    void runStatement(const QString &batch);
    void freeStatement();
    // On the worker thread: the failure of a statement that did not run.
    [[noreturn]] void throwFailure(void *statement, const QString &fallback);

    QString m_connectionName;
    QStringList m_secrets;
    int m_commandTimeout = kDefaultCommandTimeout;
    bool m_open = false;
    ServerKind m_kind = ServerKind::Other;
    // The ODBC connection under Qt's and the statement the batches run on;
    // used on the worker thread only.
    void *m_connection = nullptr;
    void *m_statement = nullptr;
    // The statement handle of the running batch, for cancel(); guarded by
    // m_runningMutex, so that it is never cancelled once freed.
    std::mutex m_runningMutex;
    void *m_running = nullptr;
    std::atomic<bool> m_cancelled{false};
    std::unique_ptr<WorkerThread> m_worker;
};
