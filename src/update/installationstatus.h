#pragma once

#include "common/outcome.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

// What the last action on one installation came to, as the person who keeps
// a school's machines reads it: one small JSON file per installation in a
// folder on the school's share (--status-dir, UPDATER_STATUS_DIR), named
// <computer>-<first 8 hex digits of the installation's identity>.json, so
// that two installations on one computer keep a file each. It holds no
// password and no connection string: the account is a login name, never a
// person's full name.
struct InstallationStatus
{
    // The first member of every status file: a JSON file without it is not
    // one of ours.
    static inline const QString kFormat = QStringLiteral("updater status 1");

    QString computer;
    QString identity; // the installation's identity (32 hex digits)
    QString account;
    QString folder;           // the installation folder, as the desk names it
    QString installedVersion; // version.txt's first line, normalised; empty when there is none
    QString updaterVersion;
    QString action;  // "check", "update-app", "update-reports", "update-sp", ...
    QString outcome; // the outcome's name ("done", "download failed", ...)
    int exitCode = 0;
    QString reason;
    QDateTime ranAt;          // UTC, the desk's clock
    qint64 releaseSerial = 0; // the highest signed serial accepted; 0: none
    QString held;             // a release not taken yet, and why
    QString journal;          // what the script's journal said

    // The status of `action` that ended with `outcome` (and `exitCode`) in
    // the installation at `appFolder`, now. `note` hears what could not be
    // found out (the identity not recorded).
    static InstallationStatus of(const QString &appFolder, const QString &action, const Outcome &outcome, int exitCode,
                                 const std::function<void(const QString &)> &note = {});

    // The folder named by UPDATER_STATUS_DIR; empty when it is not set.
    static QString folderFromEnvironment();

    // <computer>-<identity's first 8 hex digits>.json, the computer's name
    // cut to what every file system takes.
    QString fileName() const;

    QByteArray toJson() const;
    // Nothing, with `why`, for bytes that are not a whole status file of
    // this tool (cut short, another program's JSON, not JSON at all).
    static std::optional<InstallationStatus> fromJson(const QByteArray &json, QString *why);

    // Writes the file into `statusFolder` whole or not at all (a temporary file
    // renamed over the old one). False, with `why`, when it cannot.
    bool writeTo(const QString &statusFolder, QString *why) const;
};
