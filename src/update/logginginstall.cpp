#include "update/logginginstall.h"

#include "common/updatelog.h"

#include <QDir>

namespace {
QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}
} // namespace

int LoggingProcesses::stopAll(const QString &executablePath)
{
    const int stopped = m_inner.stopAll(executablePath);
    m_log.write(QStringLiteral("process"),
                QStringLiteral("stopped %1 running %2").arg(stopped).arg(shown(executablePath)));
    return stopped;
}

bool LoggingProcesses::startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder)
{
    const bool started = m_inner.startDetached(program, arguments, workingFolder);
    m_log.write(QStringLiteral("process"),
                QStringLiteral("%1 %2 %3 in %4")
                    .arg(started ? QStringLiteral("started") : QStringLiteral("could not start"), shown(program),
                         arguments.join(QLatin1Char(' ')), shown(workingFolder)));
    return started;
}

std::unique_ptr<WatchedProgram> LoggingProcesses::startWatched(const QString &program, const QStringList &arguments,
                                                               const QString &workingFolder)
{
    std::unique_ptr<WatchedProgram> started = m_inner.startWatched(program, arguments, workingFolder);
    const ProgramEnd first = started->poll();
    m_log.write(QStringLiteral("process"),
                QStringLiteral("%1 %2 %3 in %4%5")
                    .arg(first.how == ProgramEnd::How::NotStarted ? QStringLiteral("could not start")
                                                                  : QStringLiteral("started, watched"),
                         shown(program), arguments.join(QLatin1Char(' ')), shown(workingFolder),
                         first.reason.isEmpty() ? QString() : QStringLiteral(": ") + first.reason));
    return started;
}

bool LoggingFiles::move(const QString &from, const QString &to)
{
    const bool moved = m_inner.move(from, to);
    m_log.write(QStringLiteral("file"),
                QStringLiteral("%1 %2 to %3")
                    .arg(moved ? QStringLiteral("moved") : QStringLiteral("could not move"), shown(from), shown(to)));
    return moved;
}

bool LoggingFiles::remove(const QString &path)
{
    const bool removed = m_inner.remove(path);
    m_log.write(QStringLiteral("file"),
                QStringLiteral("%1 %2").arg(removed ? QStringLiteral("deleted") : QStringLiteral("could not delete"),
                                            shown(path)));
    return removed;
}
