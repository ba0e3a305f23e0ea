#pragma once

#include <QString>

#include <functional>
#include <memory>

class QThread;

// A thread of its own that runs one job at a time for its owner, who waits
// for each job. Both sides first spin for a moment: a quick database call
// comes back within microseconds, and putting both threads to sleep and
// waking them again costs more than the call itself. After that the owner
// blocks, and for a long job waits in a local event loop that keeps the
// window painting and leaves user input queued.
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
