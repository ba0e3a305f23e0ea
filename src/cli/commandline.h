#pragma once

#include "common/outcome.h"
#include "net/proxychoice.h"

#include <QString>
#include <QStringList>

#include <optional>

// The command line of the unattended mode. Without arguments the tool opens
// its window; with them it runs one action without a window and without a
// display, for Task Scheduler, logon scripts, deployment agents and remote
// shells.
struct CommandLine
{
    enum class Action { None, Check, UpdateApp, UpdateReports, UpdateSp, Mirror, FleetReport, Help, Version };

    Action action = Action::None;
    bool yes = false;                 // questions are answered Yes; else No
    bool quiet = false;               // nothing on standard output
    bool allReports = false;          // --update-reports --all
    QStringList reports;              // --update-reports NAME...
    QString logPath;                  // --log FILE; empty: updater.log where it belongs
    qint64 maxRate = 0;               // bytes per second; 0: no limit
    int sqlTimeout = -1;              // seconds per batch; 0: none; -1: the default
    int jitterSeconds = 0;            // a random wait of up to this long first
    bool force = false;               // --update-sp: run a script the journal says ran already
    int lockWait = -1;                // --update-sp: seconds to wait for another desk's run; -1: the default
    QString mirrorFolder;             // --mirror DIR: the folder kept as a copy of the release
    QString mirrorFrom;               // --mirror-from ADDRESS: the school's mirror (else UPDATER_MIRROR)
    int probationSeconds = -1;        // --probation: how long the started program is watched; -1: the release's
    std::optional<ProxyChoice> proxy; // --proxy URL|direct (else UPDATER_PROXY, else the system's)
    std::optional<QString> noProxy;   // --no-proxy HOSTS (else no_proxy)
    QString statusFolder; // --status-dir DIR: where the installation's status file goes (else UPDATER_STATUS_DIR)
    QString fleetFolder;  // --fleet-report DIR: the status files to report on
    int staleDays = -1;   // --fleet-report: days without a run that make a desk stale; -1: the default
    QString htmlPath;     // --fleet-report --html FILE: the page to write

    // Why the arguments cannot be run; empty when they can.
    QString error;

    // The arguments after the program's name.
    static CommandLine parse(const QStringList &arguments);
};

// The text of --help.
QString usageText();

// The exit codes (the README lists them).
namespace ExitCode {
constexpr int Success = 0;              // done, or nothing to do
constexpr int Failed = 1;               // another failure (a file that cannot be read or written, ...)
constexpr int Usage = 2;                // the command line cannot be run; nothing was done
constexpr int Busy = 3;                 // another updater is at work in the folder
constexpr int Download = 4;             // a network or download failure
constexpr int Refused = 5;              // a download refused: not signed by the publisher, or no release file
constexpr int NotReplaced = 6;          // the executable could not be replaced
constexpr int BatchesFailed = 7;        // some SQL batches failed or were not run
constexpr int DatabaseUnreachable = 8;  // no connection to the database
constexpr int DiskFull = 9;             // not enough disk space
constexpr int UpdateAvailable = 10;     // --check: a published version differs
constexpr int Declined = 11;            // a question was answered No (no --yes)
constexpr int Expired = 12;             // the published release has expired
constexpr int ScriptRunElsewhere = 13;  // another desk is running the script on the shared database
constexpr int EndNotRecorded = 14;      // the script ran; the journal could not record its end
constexpr int NotGuaranteed = 15;       // the script was not run: no lock or no journal row (--force runs it)
constexpr int StartFailed = 16;         // the new program did not start: taken back, or kept by the publisher's word
constexpr int FleetNeedsAttention = 17; // --fleet-report: a desk is behind, failed, or not heard from

// The exit code of an action that ended so.
int of(OutcomeKind kind);
} // namespace ExitCode
