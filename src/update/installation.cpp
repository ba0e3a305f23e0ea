#include "update/installation.h"

#include "common/appfolder.h"
#include "common/failure.h"
#include "common/services.h"
#include "update/installfiles.h"

#include "common/fileops.h"

#include <QFileInfo>

namespace Installation {

namespace {
// A file of the folder's own, not a link to one elsewhere.
bool isOwnFile(const QString &path)
{
    return !FileOps::isLink(path) && QFileInfo(path).isFile();
}
} // namespace

void repair(const QString &appFolder, InstallFiles &files)
{
    const QString current = inFolder(appFolder, kExecutable);
    const QString fresh = inFolder(appFolder, kNewExecutable);
    const QString replaced = inFolder(appFolder, kOldExecutable);
    // Links are left as they are, for the update to refuse.
    if (!QFileInfo::exists(current) && !FileOps::isLink(current)) {
        if (isOwnFile(replaced))
            files.move(replaced, current);
        else if (isOwnFile(fresh))
            files.move(fresh, current);
    }
    if (isOwnFile(current) && isOwnFile(fresh))
        files.remove(fresh);
    // What a patch or a mirror's copy left when the tool was stopped on
    // the way (never the kept bytes of a download, which go on).
    for (const char *leftover : {".copy", ".mirror", ".patch", ".patched"}) {
        const QString path = fresh + QLatin1String(leftover);
        if (isOwnFile(path))
            files.remove(path);
    }
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
        const QString why = FileOps::linkRefused(path);
        const BusyCursor busy(services);
        services.showMessage(why, MessageStyle::Critical);
        return Outcome::of(OutcomeKind::Failed, FailureCode::PathAccess, why);
    }
    attempt([&] { repair(appFolder, files); });
    action();
    return std::nullopt;
}

} // namespace Installation
