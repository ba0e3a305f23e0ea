#pragma once

#include <QStringList>

// The unattended mode: runs the action the arguments name (the arguments
// after the program's name) in the application folder, without a window,
// and returns its exit code (cli/commandline.h). A QCoreApplication must
// exist.
int runCommandLine(const QStringList &arguments);
