#pragma once

#include "common/outcome.h"
#include "sp/database.h"
#include "sp/journal.h"
#include "sp/runlock.h"

#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class Services;

// The run's lock and its journal row together: whether this run of the
// script may go ahead on the shared database, and the record of how it
// ended. The lock is taken on the script's connection, then the journal's
// own connection is opened (the table made when missing, under the lock)
// and the run's "started" row written.
//
// Where the lock or the row cannot be had, a run that must be guaranteed
// (unattended, not forced) is refused; any other run goes on, and the log
// says what was not guaranteed. SQLite has no lock: there the journal alone
// stands (one file, one desk).
class RunGuard
{
public:
    struct Policy
    {
        // A script the journal says ran to its end is left alone, and an
        // older release's script is not run after a newer one.
        bool onceOnly = false;
        // No run without the lock and the journal's row.
        bool guaranteed = false;
    };

    // `databases` makes the journal's connection, opened with `settings`.
    // `pause` waits the milliseconds, keeping the window alive.
    RunGuard(Services &services, Database &script, DatabaseFactory databases, ConnectionSettings settings,
             Policy policy, std::function<void(int)> pause);
    ~RunGuard();
    RunGuard(const RunGuard &) = delete;
    RunGuard &operator=(const RunGuard &) = delete;

    // Whether the run may go ahead: nothing when it may, else how the
    // action ends (the lock was not had in time: ScriptRunElsewhere with
    // no reason). `take` takes the lock, waiting for another desk; false
    // when the wait ended without it. Throws DatabaseUnreachable when the
    // script's connection is lost meanwhile.
    std::optional<Outcome> mayGoAhead(const Journal::Run &run, const std::function<bool(RunLock &)> &take);

    // Between batches: a cheap statement on the journal's connection when
    // the last one was a while ago, so that no idle timeout ends it.
    void keepAlive();

    // Gives the run's row its end, on a fresh connection when the journal's
    // own is gone; the reason when no connection could write it.
    std::optional<QString> ended(const QString &outcome, int batches, int failedBatches);

    // Closes the journal's connection and lets go of the lock; the next
    // desk may go on. Called by the destructor too.
    void finish();

    // How often keepAlive() reaches the server at most, and how many times
    // a lost journal connection is opened again for the run's end.
    static constexpr int kKeepAliveMs = 5000;
    static constexpr int kEndTries = 3;

private:
    std::optional<Outcome> lock(const std::function<bool(RunLock &)> &take);
    std::optional<Outcome> openJournal();
    std::optional<Outcome> consultJournal(const Journal::Run &run);
    std::optional<Outcome> begin(const Journal::Run &run);
    // The refusal when the run must be guaranteed; else the note that it is
    // not, and nothing (the run goes on).
    std::optional<Outcome> withoutGuarantee(const QString &why);
    void closeJournal();

    Services &m_services;
    Database &m_script;
    DatabaseFactory m_databases;
    ConnectionSettings m_settings;
    Policy m_policy;
    std::function<void(int)> m_pause;
    QString m_schema;
    std::unique_ptr<RunLock> m_lock;
    std::unique_ptr<Database> m_journalConnection;
    std::unique_ptr<Journal> m_journal;
    QString m_runId; // the row written; empty: none
    QElapsedTimer m_sinceUsed;
};
