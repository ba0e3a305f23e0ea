#include "update/linuxprocesscontrol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// The path of the executable, without the marker the kernel adds when the
// file was deleted (or replaced) after the process started.
QByteArray executablePathOf(qint64 pid)
{
    char target[PATH_MAX];
    const QByteArray link = QStringLiteral("/proc/%1/exe").arg(pid).toLocal8Bit();
    const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
    if (length <= 0)
        return {};
    QByteArray path(target, length);
    if (path.endsWith(kDeletedSuffix))
        path.chop(kDeletedSuffix.size());
    return path;
}

// A child of this process, reaped when it ends.
class ChildProgram final : public WatchedProgram
{
public:
    explicit ChildProgram(pid_t pid) : m_pid(pid) {}
    ProgramEnd poll() override
    {
        if (m_end)
            return *m_end;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) != m_pid)
            return {};
        if (WIFSIGNALED(status))
            m_end = ProgramEnd{ProgramEnd::How::Signal, WTERMSIG(status), {}};
        else
            m_end = ProgramEnd{ProgramEnd::How::Exited, WEXITSTATUS(status), {}};
        return *m_end;
    }

private:
    pid_t m_pid;
    std::optional<ProgramEnd> m_end;
};

// One that did not start, and why.
class FailedProgram final : public WatchedProgram
{
public:
    explicit FailedProgram(QString reason) : m_reason(std::move(reason)) {}
    ProgramEnd poll() override { return {ProgramEnd::How::NotStarted, 0, m_reason}; }

private:
    QString m_reason;
};

} // namespace

QList<qint64> LinuxProcessControl::matching(const QString &executablePath)
{
    const QFileInfo program(executablePath);
    const QByteArray wanted = QFile::encodeName(program.fileName());
    // The kernel shows the executable's real path: the folder is compared
    // in that form.
    const QString canonical = QFileInfo(program.absolutePath()).canonicalFilePath();
    if (canonical.isEmpty())
        return {};
    const QByteArray folder = QFile::encodeName(canonical) + '/';
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
        const QByteArray path = executablePathOf(pid);
        if (!path.startsWith(folder) || path.indexOf('/', folder.size()) >= 0)
            continue;
        if (commandName(pid) == wanted || path.mid(folder.size()) == wanted)
            result << pid;
    }
    return result;
}

int LinuxProcessControl::stopAll(const QString &executablePath)
{
    int stopped = 0;
    for (const qint64 pid : matching(executablePath)) {
        if (::kill(static_cast<pid_t>(pid), SIGKILL) == 0)
            ++stopped;
    }
    return stopped;
}

bool LinuxProcessControl::startDetached(const QString &program, const QStringList &arguments,
                                        const QString &workingFolder)
{
    // The application outlives the updater and owes it nothing: none of its
    // standard streams (a caller that reads the updater's output would wait
    // for the application's end) and none of its other descriptors (the
    // folder's lock, the log, a connection). Qt starts it in a session of
    // its own.
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(workingFolder);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.setChildProcessModifier([] {
        // In the child, between fork and exec: every descriptor past the
        // standard three closes at exec (Qt's own error pipe already does).
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            const long last = ::sysconf(_SC_OPEN_MAX);
            for (int fd = 3; fd < (last > 0 && last < 65536 ? last : 65536); ++fd)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    });
    return process.startDetached();
}

std::unique_ptr<WatchedProgram> LinuxProcessControl::startWatched(const QString &program, const QStringList &arguments,
                                                                  const QString &workingFolder)
{
    QList<QByteArray> words{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        words << argument.toLocal8Bit();
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const QByteArray folder = QFile::encodeName(workingFolder);

    // The same separation as startDetached(): a session of its own, the null
    // device for its streams, no other descriptor; but a direct child, so
    // that its end can be read.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    for (const int fd : {0, 1, 2})
        ::posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!folder.isEmpty())
        ::posix_spawn_file_actions_addchdir_np(&actions, folder.constData());
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, argv.front(), &actions, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return std::make_unique<FailedProgram>(QString::fromLocal8Bit(std::strerror(error)));
    return std::make_unique<ChildProgram>(pid);
}

ProcessControl &ProcessControl::system()
{
    static LinuxProcessControl instance;
    return instance;
}
