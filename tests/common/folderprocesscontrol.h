#pragma once

#include "common/standins.h"
#include "update/linuxprocesscontrol.h"

#include <QFileInfo>

#include <algorithm>
#include <csignal>

// The Linux process control as the tool uses it, except that it stops only
// the matching processes whose executable lies in one folder: the test's
// own stand-ins. Other programs named Vantora.exe on the machine (another
// test run, the demo) are left alone. Starting is the real thing.
class FolderProcessControl : public ProcessControl
{
public:
    explicit FolderProcessControl(const QString &folder)
        : m_folder(QFileInfo(folder).canonicalFilePath() + QLatin1Char('/'))
    {
    }

    int stopAll(const QString &executablePath) override
    {
        int stopped = 0;
        for (const qint64 pid : LinuxProcessControl::matching(executablePath)) {
            if (StandIns::executableOf(pid).startsWith(m_folder) && ::kill(static_cast<pid_t>(pid), SIGKILL) == 0)
                ++stopped;
        }
        return stopped;
    }
    bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder) override
    {
        return m_real.startDetached(program, arguments, workingFolder);
    }
    std::unique_ptr<WatchedProgram> startWatched(const QString &program, const QStringList &arguments,
                                                 const QString &workingFolder) override
    {
        return m_real.startWatched(program, arguments, workingFolder);
    }
    bool anyRunning(const QString &executablePath) override
    {
        const QList<qint64> pids = LinuxProcessControl::matching(executablePath);
        return std::ranges::any_of(pids,
                                   [this](qint64 pid) { return StandIns::executableOf(pid).startsWith(m_folder); });
    }

private:
    QString m_folder;
    LinuxProcessControl m_real;
};
