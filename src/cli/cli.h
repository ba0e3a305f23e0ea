#pragma once

#include "common/outcome.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

class UpdateLog;

// The unattended mode: runs the action the arguments name (the arguments
// after the program's name) in the application folder, without a window,
// and returns its exit code (cli/commandline.h). A QCoreApplication must
// exist.
int runCommandLine(const QStringList &arguments);

// Leaves the status file of the installation at `appFolder` in `folder`
// (nothing when it is empty) after `action` ended with `outcome`; a folder
// that cannot be written is a line in `log`, never a failed action.
void writeInstallationStatus(const QString &folder, const QString &appFolder, const QString &action,
                             const Outcome &outcome, UpdateLog &log);

// What --version prints: "updater X", then a line "trusted key: SHA256:..."
// for each key the build trusts, or one line saying that it checks no
// signature.
QString versionText(const QList<QByteArray> &keys);
