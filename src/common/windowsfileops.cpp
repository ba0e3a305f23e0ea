#include "common/fileops.h"

#include "win32/win32layer.h"

#include <QDir>

namespace FileOps {

bool replace(const QString &from, const QString &to)
{
    return Win32::moveReplacing(QDir::toNativeSeparators(from).toStdWString(),
                                QDir::toNativeSeparators(to).toStdWString());
}

bool append(const QString &path, const QByteArray &bytes)
{
    return Win32::appendBytes(QDir::toNativeSeparators(path).toStdWString(), bytes.constData(),
                              static_cast<std::size_t>(bytes.size()));
}

// Each append opens the file: appendBytes locks it for its turn.
AppendFile::AppendFile(QString path) : m_path(std::move(path))
{
}

AppendFile::~AppendFile() = default;

bool AppendFile::append(const QByteArray &bytes)
{
    return FileOps::append(m_path, bytes);
}

void AppendFile::followPath()
{
}

void AppendFile::release()
{
}

} // namespace FileOps
