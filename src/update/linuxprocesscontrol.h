#pragma once

#include "update/processcontrol.h"

// Processes on Linux, read from /proc. A process is an instance of the
// program at a path when its executable (/proc/PID/exe, also after the file
// was deleted, replaced or renamed) lies in the path's folder and its
// command name (/proc/PID/comm) or the executable's file name is the path's
// file name. Only processes whose real user is this process's real user are
// stopped, with SIGKILL, as abruptly as a terminate call on other
// platforms.
class LinuxProcessControl final : public ProcessControl
{
public:
    int stopAll(const QString &executablePath) override;
    bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder) override;
    // A direct child (posix_spawn, no double fork) in a session of its own,
    // its standard streams the null device and no other descriptor of the
    // updater; waited for with waitpid().
    std::unique_ptr<WatchedProgram> startWatched(const QString &program, const QStringList &arguments,
                                                 const QString &workingFolder) override;
    bool anyRunning(const QString &executablePath) override { return !matching(executablePath).isEmpty(); }

    // The processes that stopAll(executablePath) would stop, in /proc
    // order.
    static QList<qint64> matching(const QString &executablePath);
};
