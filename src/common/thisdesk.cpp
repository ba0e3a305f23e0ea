#include "common/thisdesk.h"

#include <QSysInfo>

#ifndef Q_OS_WIN
#include <pwd.h>
#include <unistd.h>
#endif

namespace ThisDesk {

QString computerName()
{
    const QString name = QSysInfo::machineHostName();
    return name.isEmpty() ? QStringLiteral("unknown") : name.left(255);
}

QString accountName()
{
    for (const char *variable : {"USERNAME", "USER", "LOGNAME"}) {
        const QString name = qEnvironmentVariable(variable).trimmed();
        if (!name.isEmpty())
            return name.left(255);
    }
#ifndef Q_OS_WIN
    // A service or a remote command may run without a user's environment.
    if (const passwd *entry = getpwuid(getuid()); entry && entry->pw_name)
        return QString::fromLocal8Bit(entry->pw_name).left(255);
#endif
    return QStringLiteral("unknown");
}

} // namespace ThisDesk
