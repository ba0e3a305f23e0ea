#include "update/installation.h"

#include "common/appfolder.h"
#include "common/failure.h"
#include "common/services.h"
#include "update/installfiles.h"

#include "common/fileops.h"

#include <QDir>
#include <QFileInfo>

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

std::optional<Outcome> runAction(Services &services, const QString &appFolder, InstallFiles &files,
                                 const std::function<void()> &action)
{
    const QString path = inFolder(appFolder, kLockFile);
    const FileOps::FileLock lock(path);
    if (lock.state() == FileOps::FileLock::State::Busy) {
        const BusyCursor busy(services);
        services.showMessage(QStringLiteral("Another Updater is already working in this folder. Please try again "
                                            "when it has finished."),
                             MessageStyle::Exclamation);
        return Outcome::of(OutcomeKind::Busy);
    }
    if (lock.state() == FileOps::FileLock::State::Link) {
        // Whatever it leads to is not the tool's to write.
        const QString why = QDir::toNativeSeparators(path)
            + QStringLiteral(" is a link to another place. The Updater does not write through links: please remove "
                             "it and try again.");
        const BusyCursor busy(services);
        services.showMessage(why, MessageStyle::Critical);
        return Outcome::of(OutcomeKind::Failed, FailureCode::PathAccess, why);
    }
    attempt([&] { repair(appFolder, files); });
    action();
    return std::nullopt;
}

} // namespace Installation
