#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

struct TransferOptions;

// Work on files that may lie on a share (a copy from a mirror folder, a
// patch applied) run on a thread of its own, as the web transfers run:
// the caller waits in an EventWait (the window paints, user input waits
// for the action's next turn), hears of the progress on its own thread,
// and holds the work to the transfers' stall rule. Work that brings less
// than stallBytesPerSecond over stallTimeoutMs has stalled: the wait ends
// with TransferCode::TimedOut, as a stalled download does.
//
// A thread blocked in a read of a share that stopped answering cannot be
// stopped: stalled work is left behind. It owns all it touches (a Work
// captures by value), writes only files of its own, never the target,
// and once abandoned() writes nothing more; the files it named with
// makes() are removed when it ends after its caller left.
class LocalJob
{
public:
    // The work: 0 or a code of net/transfercodes.h, with a reason.
    using Work = std::function<int(LocalJob &job)>;

    struct Result
    {
        int code = 0;
        QString reason; // empty when it succeeded
        qint64 bytes = 0;
        bool leftBehind = false; // the work had not ended: it goes on alone
    };

    // Runs `work` to its end, or until it stalls or the program quits
    // (TransferCode::Interrupted). `progress` runs on the caller's thread:
    // the bytes done and the whole, -1 while it is not known. `what` names
    // the files the work is on, for the reason of a stall.
    static Result run(Work work, const QString &what, const TransferOptions &limits,
                      const std::function<void(qint64 done, qint64 total)> &progress = {});

    // For the work, as it goes.
    void setTotal(qint64 total) { m_total.store(total); }
    void setDone(qint64 done) { m_done.store(done); }
    qint64 done() const { return m_done.load(); }
    qint64 total() const { return m_total.load(); }
    bool abandoned() const { return m_abandoned.load(); }
    void fail(const QString &reason) { m_reason = reason; }
    void makes(const QString &path) { m_made.append(path); }

private:
    struct Shared;
    // Waits for the work to end, or until it stalls or the program quits;
    // the code it ends with when the work has not ended.
    static int wait(Shared &shared, const TransferOptions &limits, const std::function<void(qint64, qint64)> &progress);

    std::atomic<qint64> m_done{0};
    std::atomic<qint64> m_total{-1};
    std::atomic<bool> m_abandoned{false};
    QString m_reason;   // the work's own: read only once it has ended
    QStringList m_made; // the work's own
};
