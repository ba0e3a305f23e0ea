#include "common/fileops.h"

#include <QFile>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace FileOps {

bool replace(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool append(const QString &path, const QByteArray &bytes)
{
    // O_APPEND: the kernel puts every write at the end, whoever else writes.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const ssize_t written = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
    ::close(fd);
    return written == bytes.size();
}

} // namespace FileOps
