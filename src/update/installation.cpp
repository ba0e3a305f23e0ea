#include "update/installation.h"

#include "common/appfolder.h"
#include "common/failure.h"
#include "common/services.h"
#include "update/installfiles.h"

#include <QFileInfo>
#include <QLockFile>

namespace Installation {

void repair(const QString &appFolder, InstallFiles &files)
{
    const QString current = inFolder(appFolder, kExecutable);
    const QString fresh = inFolder(appFolder, kNewExecutable);
    const QString replaced = inFolder(appFolder, kOldExecutable);
    if (!QFileInfo::exists(current)) {
        if (QFileInfo(replaced).isFile())
            files.move(replaced, current);
        else if (QFileInfo(fresh).isFile())
            files.move(fresh, current);
    }
    if (QFileInfo(current).isFile() && QFileInfo(fresh).isFile())
        files.remove(fresh);
}

bool runAction(Services &services, const QString &appFolder, InstallFiles &files, const std::function<void()> &action)
{
    QLockFile lock(inFolder(appFolder, kLockFile));
    // Only a lock whose process has died is stale, however long an action
    // takes.
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0) && lock.error() == QLockFile::LockFailedError) {
        const BusyCursor busy(services);
        services.showMessage(QStringLiteral("Another Updater is already working in this folder. Please try again "
                                            "when it has finished."),
                             MessageStyle::Exclamation);
        return false;
    }
    attempt([&] { repair(appFolder, files); });
    action();
    return true;
}

} // namespace Installation
