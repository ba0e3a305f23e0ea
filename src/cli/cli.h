#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

// The unattended mode: runs the action the arguments name (the arguments
// after the program's name) in the application folder, without a window,
// and returns its exit code (cli/commandline.h). A QCoreApplication must
// exist.
int runCommandLine(const QStringList &arguments);

// What --version prints: "updater X", then a line "trusted key: SHA256:..."
// for each key the build trusts, or one line saying that it checks no
// signature.
QString versionText(const QList<QByteArray> &keys);
