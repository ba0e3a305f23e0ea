#include "sp/workerthread.h"

#include "common/eventwait.h"

#include <QThread>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>

namespace {

// How long the owner sleeps before it lets the window paint: short enough
// that nobody sees a frozen window.
constexpr std::chrono::milliseconds kQuietWait{30};

} // namespace

struct WorkerThread::Shared
{
    std::mutex mutex;
    std::condition_variable wake;     // the thread waits here for a job
    std::condition_variable finished; // the owner waits here for its end
    std::function<void()> job;
    bool hasJob = false;
    bool done = false;
    bool quit = false;
    std::exception_ptr thrown;
    EventWait *wait = nullptr; // the owner's wait for the running job
};

WorkerThread::WorkerThread(const QString &name) : m_shared(std::make_unique<Shared>())
{
    m_thread = QThread::create([this] { loop(); });
    m_thread->setObjectName(name);
    m_thread->start();
}

WorkerThread::~WorkerThread()
{
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->quit = true;
    }
    m_shared->wake.notify_one();
    m_thread->wait();
    delete m_thread;
}

void WorkerThread::loop()
{
    Shared &shared = *m_shared;
    std::unique_lock lock(shared.mutex);
    for (;;) {
        shared.wake.wait(lock, [&] { return shared.hasJob || shared.quit; });
        if (!shared.hasJob)
            return;
        const std::function<void()> job = std::move(shared.job);
        shared.hasJob = false;
        lock.unlock();

        std::exception_ptr thrown;
        try {
            job();
        } catch (...) {
            thrown = std::current_exception();
        }

        lock.lock();
        shared.thrown = thrown;
        shared.done = true;
        if (shared.wait)
            shared.wait->finish();
        // Woken after the unlock, the owner need not wait for the mutex.
        lock.unlock();
        shared.finished.notify_one();
        lock.lock();
    }
}

void WorkerThread::run(const std::function<void()> &job)
{
    Shared &shared = *m_shared;
    EventWait wait;
    std::unique_lock lock(shared.mutex);
    shared.job = job;
    shared.thrown = nullptr;
    shared.done = false;
    shared.hasJob = true;
    shared.wait = &wait;
    lock.unlock();
    shared.wake.notify_one();
    lock.lock();

    if (!shared.finished.wait_for(lock, kQuietWait, [&] { return shared.done; })) {
        lock.unlock();
        const bool ended = wait.wait();
        lock.lock();
        // No event loop runs while the program quits: just wait.
        if (!ended)
            shared.finished.wait(lock, [&] { return shared.done; });
    }
    shared.wait = nullptr;
    const std::exception_ptr thrown = shared.thrown;
    lock.unlock();
    if (thrown)
        std::rethrow_exception(thrown);
}
