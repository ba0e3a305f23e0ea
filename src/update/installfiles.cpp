#include "update/installfiles.h"

#include "common/fileops.h"

#include <QFile>

bool InstallFiles::move(const QString &from, const QString &to)
{
    return FileOps::replace(from, to);
}

bool InstallFiles::remove(const QString &path)
{
    return QFile::remove(path);
}

InstallFiles &InstallFiles::plain()
{
    static InstallFiles instance;
    return instance;
}
