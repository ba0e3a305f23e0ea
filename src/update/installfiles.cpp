#include "update/installfiles.h"

#include <QFile>

bool InstallFiles::remove(const QString &path)
{
    return QFile::remove(path);
}

bool InstallFiles::rename(const QString &from, const QString &to)
{
    return QFile::rename(from, to);
}

InstallFiles &InstallFiles::plain()
{
    static InstallFiles instance;
    return instance;
}
