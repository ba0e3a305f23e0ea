#pragma once

#include "update/installfiles.h"
#include "update/processcontrol.h"

class UpdateLog;

// Process control that writes every stop and start to the update log.
class LoggingProcesses final : public ProcessControl
{
public:
    LoggingProcesses(ProcessControl &inner, UpdateLog &log) : m_inner(inner), m_log(log) {}
    int stopAll(const QString &executablePath) override;
    bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder) override;
    std::unique_ptr<WatchedProgram> startWatched(const QString &program, const QStringList &arguments,
                                                 const QString &workingFolder) override;
    bool anyRunning(const QString &executablePath) override { return m_inner.anyRunning(executablePath); }

private:
    ProcessControl &m_inner;
    UpdateLog &m_log;
};

// The file steps of the swap, each written to the update log.
class LoggingFiles final : public InstallFiles
{
public:
    LoggingFiles(InstallFiles &inner, UpdateLog &log) : m_inner(inner), m_log(log) {}
    bool move(const QString &from, const QString &to) override;
    bool remove(const QString &path) override;

private:
    InstallFiles &m_inner;
    UpdateLog &m_log;
};
