#include "common/standins.h"

#include "common/webfixture.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const QString kDeleted = QStringLiteral(" (deleted)");

// Reaps the process when it is a finished child of this one.
void reap(qint64 pid)
{
    int status = 0;
    ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
}
} // namespace

StandIns::StandIns(QString folder) : m_folder(QFileInfo(folder).canonicalFilePath())
{
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

StandIns::~StandIns()
{
    stopAll();
}

QByteArray StandIns::bytes()
{
    return readBytes(QStringLiteral(UPDATER_STANDIN));
}

bool StandIns::install(const QString &path, const QByteArray &extra, int permissions)
{
    const QByteArray content = bytes();
    return !content.isEmpty() && writeBytes(path, content + extra)
        && ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(permissions)) == 0;
}

qint64 StandIns::start(const QString &program, const QStringList &arguments)
{
    qint64 pid = -1;
    if (!QProcess::startDetached(program, arguments, m_folder, &pid))
        return -1;
    m_started << pid;
    const QString prefix = QString::number(pid);
    const QString log = QFileInfo(program).canonicalFilePath();
    QDeadlineTimer deadline(5'000);
    while (!deadline.hasExpired()) {
        for (const QString &line : logLines(log)) {
            if (line == prefix || line.startsWith(prefix + QLatin1Char(' ')))
                return pid;
        }
        QThread::msleep(10);
    }
    return -1;
}

QString StandIns::executableOf(qint64 pid)
{
    return QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
}

bool StandIns::isRunning(qint64 pid)
{
    reap(pid);
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    const char state = close >= 0 && close + 2 < line.size() ? line.at(close + 2) : 'X';
    return state != 'Z' && state != 'X';
}

bool StandIns::waitStopped(qint64 pid, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (isRunning(pid)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

QList<qint64> StandIns::running() const
{
    QList<qint64> result;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        QString exe = executableOf(pid);
        if (exe.endsWith(kDeleted))
            exe.chop(kDeleted.size());
        if (!exe.isEmpty() && QFileInfo(exe).path() == m_folder && isRunning(pid))
            result << pid;
    }
    return result;
}

QStringList StandIns::logLines(const QString &executable)
{
    return QString::fromLocal8Bit(readBytes(executable + QStringLiteral(".log")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void StandIns::stopAll()
{
    const QList<qint64> pids = running();
    for (const qint64 pid : pids)
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    for (const qint64 pid : pids)
        waitStopped(pid);
    // Stand-ins stopped earlier by the tool itself.
    for (const qint64 pid : std::as_const(m_started))
        reap(pid);
}
