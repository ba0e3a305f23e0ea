#include "update/linuxprocesscontrol.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <cerrno>
#include <climits>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {

const QByteArray kDeletedSuffix = " (deleted)";

QByteArray readProcFile(qint64 pid, const char *name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// The real user id from /proc/PID/status ("Uid:\treal\teffective\t...").
bool realUser(qint64 pid, uid_t &uid)
{
    const QList<QByteArray> lines = readProcFile(pid, "status").split('\n');
    for (const QByteArray &line : lines) {
        if (!line.startsWith("Uid:"))
            continue;
        const QList<QByteArray> fields = line.mid(4).simplified().split(' ');
        bool ok = false;
        uid = static_cast<uid_t>(fields.value(0).toULong(&ok));
        return ok;
    }
    return false;
}

QByteArray commandName(qint64 pid)
{
    QByteArray name = readProcFile(pid, "comm");
    if (name.endsWith('\n'))
        name.chop(1);
    return name;
}

// The file name of the executable, without the marker the kernel adds when
// the file was deleted (or replaced) after the process started.
QByteArray executableName(qint64 pid)
{
    char target[PATH_MAX];
    const QByteArray link = QStringLiteral("/proc/%1/exe").arg(pid).toLocal8Bit();
    const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
    if (length <= 0)
        return {};
    QByteArray path(target, length);
    if (path.endsWith(kDeletedSuffix))
        path.chop(kDeletedSuffix.size());
    return path.mid(path.lastIndexOf('/') + 1);
}

} // namespace

QList<qint64> LinuxProcessControl::matching(const QString &name)
{
    const QByteArray wanted = QFile::encodeName(name);
    const uid_t me = ::getuid();
    const qint64 self = ::getpid();
    QList<qint64> result;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid <= 0 || pid == self)
            continue;
        uid_t owner = 0;
        if (!realUser(pid, owner) || owner != me)
            continue;
        if (commandName(pid) == wanted || executableName(pid) == wanted)
            result << pid;
    }
    return result;
}

int LinuxProcessControl::stopAll(const QString &name)
{
    int stopped = 0;
    for (const qint64 pid : matching(name)) {
        if (::kill(static_cast<pid_t>(pid), SIGKILL) == 0)
            ++stopped;
    }
    return stopped;
}

bool LinuxProcessControl::startDetached(const QString &program, const QStringList &arguments,
                                        const QString &workingFolder)
{
    return QProcess::startDetached(program, arguments, workingFolder);
}

ProcessControl &ProcessControl::system()
{
    static LinuxProcessControl instance;
    return instance;
}
