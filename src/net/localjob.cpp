#include "net/localjob.h"

#include "common/eventwait.h"
#include "net/curlsession.h"
#include "net/transfercodes.h"
#include "net/webclient.h"

#include <QFile>
#include <QTimer>

#include <memory>
#include <mutex>
#include <thread>

namespace {
// How often the waiting thread passes progress on and looks for a stall.
constexpr int kTickMs = 50;
} // namespace

// What the caller and the work's thread share. The work's thread holds it
// to its end, however long the caller waited.
struct LocalJob::Shared
{
    LocalJob job;
    Work work;
    std::mutex mutex;
    EventWait *waiter = nullptr; // while the caller waits
    bool ended = false;
    int code = TransferCode::Ok;
};

LocalJob::Result LocalJob::run(Work work, const QString &what, const TransferOptions &limits,
                               const std::function<void(qint64, qint64)> &progress)
{
    auto shared = std::make_shared<Shared>();
    shared->work = std::move(work);
    std::thread([shared] {
        const int code = shared->work(shared->job);
        bool abandoned = false;
        {
            const std::lock_guard lock(shared->mutex);
            shared->code = code;
            shared->ended = true;
            abandoned = shared->job.abandoned();
            if (shared->waiter)
                shared->waiter->finish();
        }
        if (abandoned) {
            for (const QString &path : std::as_const(shared->job.m_made))
                QFile::remove(path);
        }
    }).detach();
    const int stopped = wait(*shared, limits, progress);

    const std::lock_guard lock(shared->mutex);
    Result result;
    result.bytes = shared->job.done();
    if (!shared->ended) {
        // Stalled, or the program quits: the work is left to itself.
        shared->job.m_abandoned.store(true);
        result.leftBehind = true;
        result.code = stopped;
        result.reason = TransferCode::describe(result.code) + QStringLiteral(" (") + what + u')';
        return result;
    }
    result.code = shared->code;
    if (result.code != TransferCode::Ok)
        result.reason = shared->job.m_reason.isEmpty() ? TransferCode::describe(result.code) : shared->job.m_reason;
    else if (progress)
        progress(result.bytes, shared->job.total());
    return result;
}

int LocalJob::wait(Shared &shared, const TransferOptions &limits, const std::function<void(qint64, qint64)> &progress)
{
    EventWait wait;
    {
        const std::lock_guard lock(shared.mutex);
        if (shared.ended)
            return TransferCode::Ok;
        shared.waiter = &wait;
    }
    StallRule rule(limits.stallBytesPerSecond, limits.stallTimeoutMs);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &tick, [&] {
        if (progress)
            progress(shared.job.done(), shared.job.total());
        if (rule.stalled(shared.job.done()))
            wait.finish();
    });
    tick.start(kTickMs);
    // The wait also ends when the program quits.
    const int stopped = wait.wait() ? TransferCode::TimedOut : TransferCode::Interrupted;
    tick.stop();
    const std::lock_guard lock(shared.mutex);
    shared.waiter = nullptr;
    return stopped;
}
