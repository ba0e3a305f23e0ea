#include "common/fileops.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace FileOps {

bool replace(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool append(const QString &path, const QByteArray &bytes)
{
    // O_APPEND: the kernel puts every write at the end, whoever else writes.
    // A link in the file's place is not written through.
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    const ssize_t written = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
    ::close(fd);
    return written == bytes.size();
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
