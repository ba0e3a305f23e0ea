#include "common/appfolder.h"

#include <QCoreApplication>
#include <QDir>

QString applicationFolder()
{
    return QCoreApplication::applicationDirPath();
}

QString inFolder(const QString &folder, const QString &name)
{
    if (folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}
