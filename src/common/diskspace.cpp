#include "common/diskspace.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

namespace DiskSpace {

namespace {
constexpr qint64 kBlockBytes = 4096;
} // namespace

bool lacksSpaceFor(const QString &path, qint64 bytes)
{
    QFileInfo where(path);
    // The nearest folder that exists: the file may be gone already.
    QDir folder = where.isDir() ? QDir(where.absoluteFilePath()) : where.absoluteDir();
    while (!folder.exists() && folder.cdUp()) {
    }
    const QStorageInfo volume(folder.absolutePath());
    if (!volume.isValid())
        return false;
    return volume.bytesAvailable() < qMax(bytes, kBlockBytes);
}

Failure writeFailure(const QString &path, qint64 bytes, const QString &reason)
{
    if (lacksSpaceFor(path, bytes)) {
        return {FailureCode::WriteFailed,
                QStringLiteral("Cannot write %1: there is not enough disk space.").arg(QDir::toNativeSeparators(path)),
                OutcomeKind::DiskFull};
    }
    return {FailureCode::WriteFailed, QStringLiteral("Cannot write %1: %2").arg(path, reason)};
}

} // namespace DiskSpace
