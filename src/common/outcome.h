#pragma once

#include <QString>

// How an action ended. Each action returns one: the window ignores it, the
// unattended mode turns it into its exit code (one table, in
// cli/commandline.cpp) and the update log's last line names it. It is never
// read back from what a box or the status line said.
enum class OutcomeKind {
    Done,                // the action did what it was asked
    UpToDate,            // nothing to do: the installed version is the published one
    UpdateAvailable,     // a check only: the published version differs
    Declined,            // a question was answered No
    DownloadFailed,      // a transfer failed: the network, the server or the local file
    Refused,             // a download was refused: not a release, or not signed by the publisher
    NotReplaced,         // the executable could not be replaced; the old one is in place
    BatchesFailed,       // some SQL batches failed, one was cancelled, or some were not run
    DatabaseUnreachable, // no connection to the database
    Busy,                // another updater works in the folder
    DiskFull,            // not enough disk space to write what the action needs
    Expired,             // the published release is past the date its signature holds for
    ScriptRunElsewhere,  // another desk is running the script on the shared database
    EndNotRecorded,      // the script ran, but the journal could not be told how it ended
    NotGuaranteed,       // the script was not run: the lock or the journal's row could not be had
    StartFailed,         // the new program did not start (taken back, or kept as its publisher asked)
    FleetAttention,      // the fleet report: an installation is behind, failed or not heard from
    Failed,              // anything else
};

struct Outcome
{
    OutcomeKind kind = OutcomeKind::Failed;
    // The failure number or transfer code behind it; 0 for none.
    int number = 0;
    // Why, as a sentence for the log; empty when there is nothing to add.
    QString reason;
    // "Update SP": the batches that held something, how many of them
    // failed, the number of the one cancelled (0: none), how many were not
    // run.
    int batches = 0;
    int failedBatches = 0;
    int cancelledBatch = 0;
    int notRunBatches = 0;
    // A published release this installation does not take yet, and why (a
    // staged rollout or a halt); empty otherwise.
    QString held;
    // What the script's journal on the database said of an earlier run of
    // it, when that decided the action; empty otherwise.
    QString journal;

    static Outcome of(OutcomeKind kind, int number = 0, const QString &reason = QString())
    {
        Outcome outcome;
        outcome.kind = kind;
        outcome.number = number;
        outcome.reason = reason;
        return outcome;
    }

    // "download failed (2004: The download ended before ...)" and the
    // like, for the log.
    QString summary() const;
};

// A short name of the kind ("done", "download failed", ...).
QString outcomeName(OutcomeKind kind);
