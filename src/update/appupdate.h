#pragma once

#include "common/failure.h"
#include "common/outcome.h"
#include "common/signature.h"
#include "net/publishedrelease.h"

#include <QByteArray>
#include <QList>
#include <QString>

class Clock;
class Endpoints;
class InstallFiles;
class ProcessControl;
class Services;
class WebClient;
namespace Probation {
struct Decision;
}

// "Update App": compares the local version.txt with the published one and,
// when they differ and the user agrees, installs the published executable:
// downloads it as Vantora_new.exe (refused unless it is a program, and
// signed where the build carries keys), stops every running Vantora.exe,
// moves the old file aside to Vantora_old.exe and the new one into its
// place, records the version and starts the application once with
// "/silentdbupdate".
class AppUpdate
{
public:
    // `files` does the moves of the swap (tests make them fail). `keys`: the
    // publisher's keys a downloaded executable must be signed with (none:
    // no signature is checked).
    AppUpdate(Services &services, WebClient &web, Clock &clock, const Endpoints &endpoints, QString appFolder,
              ProcessControl &processes, InstallFiles &files, QList<QByteArray> keys = Signature::trustedKeys());

    // How the started program is watched: `probationSeconds` (-1: the
    // release's, else 15; 0: not watched), and `force`: a build held as
    // one that did not start is installed all the same.
    struct StartWatch
    {
        int probationSeconds = -1;
        bool force = false;
    };
    void setStartWatch(StartWatch watch) { m_watch = watch; }

    // The whole action, from the busy cursor to the last box, and how it
    // ended. A probation that an earlier updater left unfinished is
    // finished first.
    Outcome run();

    // The window is being closed. While the new program is watched, asks
    // whether to stop waiting; on Yes the watch ends at once, the program
    // stays, and the next run finishes the probation (as after a kill).
    void closeRequested();

    // Both versions in the form they are compared in.
    struct Versions
    {
        QString local;
        QString remote;
        // The release manifest published beside version.txt (required with
        // keys), and why this desk does not take its version yet (a staged
        // rollout, a halt): empty when it does.
        std::optional<PublishedRelease::Taken> release;
        QString heldBack;
        // Why the manifest was refused or could not be fetched.
        std::optional<Failure> releaseFailure;
    };
    // The version check's reading: the local version.txt (created with
    // 1.0.0 when missing, with its boxes), the published one, and the
    // release manifest. Throws Failure, except for the manifest's.
    Versions readVersions();

    // How a check ends where nothing is installed: the manifest refused,
    // up to date (the same version, or held back), or expired (the
    // manifest is past its expiry, which the log hears even where the desk
    // is on its version); nothing when the published version is to be
    // offered.
    std::optional<Outcome> settled(const Versions &versions);

private:
    // How a check of a signed release ends by the order of the two
    // versions: up to date where they are one version written two ways,
    // refused (TransferCode::OlderManifest) where the published one is
    // older and the release is no step back; nothing where the order does
    // not decide.
    std::optional<Outcome> byOrder(const Versions &versions);
    // The version check and, when the user agrees, the install. Throws
    // Failure up to the point where the install skips failing steps.
    Outcome check();
    // Reads the first line of version.txt, creating the file with 1.0.0
    // when it is missing. Throws Failure, at once when a link is in the
    // file's place.
    QString readLocalVersionLine(const QString &path);
    // Goes on after the user agreed to update to the published version
    // (normalised: what version.txt then holds). Throws Failure
    // (NotReplaced) before the download when a link is in place of one of
    // the three executables.
    Outcome install(const QString &version, const QString &previous,
                    const std::optional<PublishedRelease::Taken> &release);
    // Brings the program into Vantora_new.exe, by the release's sources where
    // it lists the program, with the progress shown; a Done names how it
    // came in its reason.
    Outcome downloadProgram(const QString &oldPath, const QString &newPath, const std::optional<ReleaseFile> &listed);
    // Where the new program is not in place, or its version not recorded:
    // the boxes, the outcome, and whichever program is in place started.
    Outcome notInstalled(const QString &oldPath, const std::optional<Failure> &notReplaced,
                         const std::optional<Failure> &notRecorded, bool oldBack);
    // The new program in place and recorded: starts it, watches it for the
    // probation and, when it does not start, takes it back or keeps it as
    // the release says; the boxes and the outcome.
    struct Installed
    {
        QString version;
        QString previous;  // the version taken back to
        QByteArray sha256; // hex, of the new program
        qint64 serial = 0; // of its release; 0: none
        bool keep = false; // the publisher's keep_if_start_fails
        int probationSeconds = 0;
    };
    // The program just put in place at `oldPath`, as the probation knows it.
    Installed installedBuild(const QString &version, const QString &previous, const QString &oldPath,
                             const std::optional<PublishedRelease::Taken> &release) const;
    Outcome watchStart(const Installed &installed);
    // The watch stopped by a person before the probation ended: the
    // program stays, its probation recorded for the next run.
    Outcome watchStopped(const Installed &installed);
    // The state file's count of the build's failed starts and, where the
    // decision holds the build, the build as one that did not start.
    void recordFailedStart(PublishedRelease &state, const Installed &installed, const Probation::Decision &decision);
    // The old program back in place, version.txt back to `previous`, the
    // old program started. False (with `why`) where it could not be put back.
    bool takeBack(const Installed &installed, QString *why);
    // The state file's record of a probation under way ("" when done).
    void recordProbation(const QString &phase, const Installed &installed);
    // Finishes a probation or take-back an updater left when it ended.
    void finishInterrupted();
    // Why the published build is held on this desk; empty when it is not.
    QString heldBecause(const Versions &versions) const;
    // Moves the old executable aside to Vantora_old.exe and the new one into
    // its place, keeping the old file's permissions. True when the new
    // executable is in place; false leaves the old one (moved back when the
    // new one could not be moved in) and Vantora_new.exe where they are.
    bool replaceExecutable(const QString &oldPath, const QString &newPath);
    // Undoes a replacement: the new executable back to Vantora_new.exe, the
    // old one from Vantora_old.exe into its place. False when the old one
    // could not be put back (the new one then stays in place).
    bool putOldBack(const QString &oldPath, const QString &newPath);

    // Whether the new program is being watched, the close question is
    // open, and a person asked to stop waiting.
    bool m_watching = false;
    bool m_asking = false;
    bool m_stopWatching = false;
    QString m_watchedVersion;

    Services &m_services;
    WebClient &m_web;
    Clock &m_clock;
    const Endpoints &m_endpoints;
    QString m_appFolder;
    ProcessControl &m_processes;
    InstallFiles &m_files;
    QList<QByteArray> m_keys;
    StartWatch m_watch;
};
