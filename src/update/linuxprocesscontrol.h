#pragma once

#include "update/processcontrol.h"

// Processes on Linux, read from /proc. A process matches a name when its
// command name (/proc/PID/comm) or the file name of its executable
// (/proc/PID/exe, also after the file was deleted or replaced) equals it.
// Only processes whose real user is this process's real user are stopped,
// with SIGKILL, as abruptly as a terminate call on other platforms.
class LinuxProcessControl final : public ProcessControl
{
public:
    int stopAll(const QString &name) override;
    bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder) override;

    // The processes that stopAll(name) would stop, in /proc order.
    static QList<qint64> matching(const QString &name);
};
