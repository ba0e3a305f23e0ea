#include "sp/workerthread.h"

#include <QEventLoop>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// How long either side spins before it sleeps.
constexpr std::chrono::microseconds kSpin{300};
// How long the owner blocks before it lets the window paint: short enough
// that nobody sees a frozen window.
constexpr std::chrono::milliseconds kQuietWait{30};

template <typename Ready>
void spinFor(Ready ready)
{
    const Clock::time_point until = Clock::now() + kSpin;
    while (!ready() && Clock::now() < until)
        std::this_thread::yield();
}

} // namespace

struct WorkerThread::Shared
{
    std::mutex mutex;
    std::condition_variable wake;     // the thread waits here for a job
    std::condition_variable finished; // the owner waits here for its end
    std::function<void()> job;
    std::atomic<bool> hasJob{false};
    std::atomic<bool> done{false};
    bool quit = false;
    std::exception_ptr thrown;
    QEventLoop *loop = nullptr; // set while the owner waits in it
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
    for (;;) {
        spinFor([&] { return shared.hasJob.load(std::memory_order_acquire); });
        std::unique_lock lock(shared.mutex);
        shared.wake.wait(lock, [&] { return shared.hasJob.load() || shared.quit; });
        if (!shared.hasJob.load())
            return;
        const std::function<void()> job = std::move(shared.job);
        shared.hasJob.store(false);
        lock.unlock();

        std::exception_ptr thrown;
        try {
            job();
        } catch (...) {
            thrown = std::current_exception();
        }

        lock.lock();
        shared.thrown = thrown;
        shared.done.store(true, std::memory_order_release);
        if (shared.loop)
            QMetaObject::invokeMethod(shared.loop, &QEventLoop::quit, Qt::QueuedConnection);
        lock.unlock();
        shared.finished.notify_one();
    }
}

void WorkerThread::run(const std::function<void()> &job)
{
    Shared &shared = *m_shared;
    {
        const std::lock_guard lock(shared.mutex);
        shared.job = job;
        shared.thrown = nullptr;
        shared.done.store(false);
        shared.hasJob.store(true, std::memory_order_release);
    }
    shared.wake.notify_one();

    spinFor([&] { return shared.done.load(std::memory_order_acquire); });
    std::unique_lock lock(shared.mutex);
    if (!shared.finished.wait_for(lock, kQuietWait, [&] { return shared.done.load(); })) {
        QEventLoop loop;
        shared.loop = &loop;
        while (!shared.done.load()) {
            lock.unlock();
            const int result = loop.exec(QEventLoop::ExcludeUserInputEvents);
            lock.lock();
            // No event loop runs while the program quits: just wait.
            if (result == -1)
                shared.finished.wait(lock, [&] { return shared.done.load(); });
        }
        shared.loop = nullptr;
    }
    const std::exception_ptr thrown = shared.thrown;
    lock.unlock();
    if (thrown)
        std::rethrow_exception(thrown);
}
