#include "common/fileops.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileOps {

bool replace(const QString &from, const QString &to)
{
    return !isLink(from) && std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool isLink(const QString &path)
{
    struct stat status = {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool openForWriting(QFile &file, const QString &path, QIODevice::OpenMode mode)
{
    // O_NONBLOCK: a pipe in the file's place neither holds the open nor,
    // refused below, a write.
    int flags = O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    flags |= mode.testFlag(QIODevice::ReadOnly) ? O_RDWR : O_WRONLY;
    if (mode.testFlag(QIODevice::Append))
        flags |= O_APPEND;
    if (mode.testFlag(QIODevice::Truncate))
        flags |= O_TRUNC;
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0666);
    if (fd < 0)
        return false;
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return false;
    }
    if (file.open(fd, mode, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    return false;
}

ReadOpen openForReading(QFile &file, const QString &path)
{
    // O_NONBLOCK: the open of a pipe returns at once instead of waiting
    // for a writer; a plain file reads as ever once the flag is cleared.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? ReadOpen::Missing : ReadOpen::Failed;
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return ReadOpen::NotPlain;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0
        || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return ReadOpen::Failed;
    }
    return ReadOpen::Opened;
}

namespace {

// O_APPEND: the kernel puts every write at the end, whoever else writes.
// A link in the file's place is not written through.
int openForAppending(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
}

bool writeAll(int fd, const QByteArray &bytes)
{
    return ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
}

} // namespace

bool append(const QString &path, const QByteArray &bytes)
{
    const int fd = openForAppending(path);
    if (fd < 0)
        return false;
    const bool written = writeAll(fd, bytes);
    ::close(fd);
    return written;
}

AppendFile::AppendFile(QString path) : m_path(std::move(path))
{
}

AppendFile::~AppendFile()
{
    release();
}

bool AppendFile::append(const QByteArray &bytes)
{
    if (m_fd < 0)
        m_fd = openForAppending(m_path);
    if (m_fd < 0)
        return false;
    if (writeAll(m_fd, bytes))
        return true;
    release(); // the next append tries a fresh open
    return false;
}

void AppendFile::followPath()
{
    if (m_fd < 0)
        return;
    struct stat held = {};
    struct stat named = {};
    if (::fstat(m_fd, &held) != 0 || ::stat(QFile::encodeName(m_path).constData(), &named) != 0
        || held.st_dev != named.st_dev || held.st_ino != named.st_ino)
        release();
}

void AppendFile::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

FileLock::FileLock(const QString &path)
{
    // flock: held by the open file, let go by the kernel when the last
    // descriptor of it closes, which a process's end does.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        m_state = errno == ELOOP ? State::Link : State::Unavailable;
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_state = errno == EWOULDBLOCK ? State::Busy : State::Unavailable;
        ::close(fd);
        return;
    }
    m_handle = fd;
    m_state = State::Held;
}

FileLock::~FileLock()
{
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
}

} // namespace FileOps
