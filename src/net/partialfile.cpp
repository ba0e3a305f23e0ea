#include "net/partialfile.h"

#include "common/fileops.h"

#include <QList>

PartialFile::PartialFile(const QString &targetPath) : m_target(targetPath), m_path(pathFor(targetPath))
{
}

QString PartialFile::pathFor(const QString &targetPath)
{
    return targetPath + QStringLiteral(".part");
}

QByteArray PartialFile::validatorOf(const QByteArray &etag, const QByteArray &lastModified)
{
    if (etag.startsWith("W/"))
        return {}; // the same weak tag may name other bytes
    return etag.isEmpty() ? lastModified : etag;
}

QString PartialFile::infoPath() const
{
    return path() + QStringLiteral(".info");
}

QString PartialFile::link() const
{
    for (const QString &candidate : {path(), infoPath()}) {
        if (FileOps::isLink(candidate))
            return candidate;
    }
    return {};
}

PartialFile::Origin PartialFile::keptOrigin() const
{
    // Two short lines; a pipe in its place is never waited on.
    constexpr qint64 kInfoLimit = qint64{64} * 1024;
    QFile info;
    if (FileOps::openForReading(info, infoPath()) != FileOps::ReadOpen::Opened)
        return {};
    const QList<QByteArray> lines = info.read(kInfoLimit).split('\n');
    return {lines.value(0), lines.value(1)};
}

bool PartialFile::open()
{
    return FileOps::openForWriting(m_file, path(), QIODevice::ReadWrite | QIODevice::Append);
}

bool PartialFile::clear()
{
    return m_file.resize(0) && m_file.seek(0);
}

bool PartialFile::keep(const Origin &origin)
{
    if (origin.validator.isEmpty() || QFile(path()).size() <= 0)
        return false;
    QFile info;
    return FileOps::openForWriting(info, infoPath(), QIODevice::WriteOnly | QIODevice::Truncate)
        && info.write(origin.url + '\n' + origin.validator + '\n') > 0;
}

bool PartialFile::moveOverTarget()
{
    QFile::remove(infoPath());
    if (FileOps::replace(path(), m_target))
        return true;
    remove();
    return false;
}

void PartialFile::remove()
{
    QFile::remove(path());
    QFile::remove(infoPath());
}
