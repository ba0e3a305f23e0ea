#pragma once

#include <QString>

#include <functional>
#include <memory>

class QThread;

// A thread of its own that runs one job at a time for its owner, who waits
// for each job: everything a job touches (a database connection) stays on
// this one thread. The owner sleeps until the job has ended; when that
// takes longer than a moment, it waits in an EventWait instead, which keeps
// the window painting and holds user input back for the owner's next turn.
class WorkerThread
{
public:
    explicit WorkerThread(const QString &name);
    // Lets the current job end, then stops the thread.
    ~WorkerThread();
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    // Runs job on the thread and returns when it has ended, rethrowing
    // what it threw.
    void run(const std::function<void()> &job);

private:
    struct Shared;
    void loop();

    std::unique_ptr<Shared> m_shared;
    QThread *m_thread = nullptr;
};
