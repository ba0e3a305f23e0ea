#pragma once

#include "common/failure.h"
#include "common/outcome.h"
#include "common/signature.h"
#include "net/publishedrelease.h"
#include "sp/database.h"

#include <QList>
#include <QString>
#include <QStringView>

#include <functional>
#include <memory>
#include <optional>

class Endpoints;
class EventWait;
class RunGuard;
class RunLock;
class Services;
class WebClient;
struct TransferResult;

// "Update SP": reloads the server list, downloads LATEST.sql into the SP
// folder, asks, reads the script, cuts it into batches at its "GO" lines and
// runs them one by one on the database named by the server list.
class SpUpdate
{
public:
    // serverName: the window's server name, which the server list updates
    // (and keeps on a failure to read CONSTR.txt). commandTimeout: the
    // seconds one batch may run (0: no limit).
    SpUpdate(Services &services, WebClient &web, const Endpoints &endpoints, QString appFolder,
             DatabaseFactory databases, QString &serverName, QList<QByteArray> keys = Signature::trustedKeys(),
             int commandTimeout = kDefaultCommandTimeout);

    // The whole action, from the busy cursor to the last box, and how it
    // ended.
    Outcome run();

    // The user asked to close the window while the action runs. While the
    // batches run, asks whether to stop the script; on Yes the running
    // batch is cancelled and no later one runs. The window closes when
    // run() has returned, whatever the answer.
    void closeRequested();

    // How long a run waits, by default, for another desk's run of the
    // script on the same database to end.
    static constexpr int kDefaultLockWait = 300;

    // The seconds a run waits for another desk's run to end before it
    // gives up (0: one try).
    void setLockWait(int seconds) { m_lockWaitSeconds = seconds; }
    // Whether a script the journal says ran to its end is left alone
    // (succeeded: up to date; failed: the batches failed). The unattended
    // mode asks for it unless forced; the window runs the script whatever
    // the journal says.
    void setOnceOnly(bool onceOnly) { m_onceOnly = onceOnly; }
    // Whether the script runs only when it holds the database's lock and
    // its journal row is written (where the server has a lock). The
    // unattended mode asks for it unless forced; in the window a person
    // watches, and what was not guaranteed goes to the log.
    void setGuaranteed(bool guaranteed) { m_guaranteed = guaranteed; }
    // The release serial of the script, for the journal's row; unset: NULL.
    void setReleaseSerial(std::optional<qint64> serial) { m_releaseSerial = serial; }

    // The application's database on the server: the database Quorvel with
    // the tool's own login, through the ODBC driver of this platform.
    static ConnectionSettings connection(const QString &serverName, int commandTimeout = kDefaultCommandTimeout);

private:
    // Downloads and reads the script; nothing when the action has ended
    // early (download failed, declined, file missing), with `outcome` set
    // to say how.
    std::optional<QString> fetchScript(Outcome &outcome);
    // The SP folder, made where it is missing; throws Failure where a link
    // is in its place or it cannot be made.
    QString scriptFolder();
    // What the publisher's current release lists for the script: nothing
    // where the script is to be fetched (`listed` set where the release
    // lists it), else how the action ends (refused, expired, halted).
    std::optional<Outcome> listScript(const QString &name, std::optional<ReleaseFile> &listed);
    // The release manifest, from the publisher or, where it cannot be
    // reached and the build has keys, from the mirror; why it failed.
    std::optional<Failure> fetchRelease(std::optional<PublishedRelease::Taken> &release);
    // Brings the script to `path`: by the release's sources where it is
    // listed, else from the script's address.
    TransferResult downloadScript(const QString &name, const QString &path, const std::optional<ReleaseFile> &listed);
    // The status of a failed download; returns `failed`.
    Outcome downloadFailed(const Outcome &failed);
    // A manifest's refusal, which no transfer line explains, said in the
    // log, then as a failed download.
    Outcome refused(const Outcome &failed);
    // Runs the script once the run's lock and journal let it go ahead.
    Outcome execute(const QString &scriptText);
    // The script's connection, open; throws DatabaseUnreachable.
    std::unique_ptr<Database> openDatabase();
    // How the batch loop ended.
    struct BatchRun
    {
        int sent = 0;      // the batches sent to the server
        int failed = 0;    // of them, the ones that failed
        int cancelled = 0; // the number of the batch cancelled, 0 for none
        int stoppedAt = 0; // the index of the first batch not run
        bool lost = false; // the connection went away
    };
    // Each batch in order, with its status, progress and error box.
    BatchRun runBatches(Database &database, const QList<QStringView> &batches, RunGuard &guard);
    // The last status and the summary box.
    void report(const Outcome &outcome, int count);
    // The wait for another desk's run ended without the lock.
    Outcome notLocked();
    // Takes the run's lock, waiting for another desk's run to end; false
    // when the wait ended without it (too long, or the window was closed).
    bool takeLock(RunLock &lock);
    // Waits, keeping the window alive; a close ends the wait early.
    void pause(int milliseconds);
    void note(const QString &text) const;

    Services &m_services;
    WebClient &m_web;
    const Endpoints &m_endpoints;
    QString m_appFolder;
    DatabaseFactory m_databases;
    QString &m_serverName;
    QList<QByteArray> m_keys; // a script must be signed by one of them; none: not checked
    int m_commandTimeout;
    // Set while the batches run.
    Database *m_running = nullptr;
    bool m_asking = false;
    bool m_stopRequested = false;
    // The run's lock and journal.
    std::optional<qint64> m_releaseSerial;
    int m_lockWaitSeconds = kDefaultLockWait;
    bool m_onceOnly = false;
    bool m_guaranteed = false;
    bool m_waitingForLock = false;
    EventWait *m_pause = nullptr;
};
