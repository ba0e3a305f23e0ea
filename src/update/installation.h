#pragma once

#include "common/outcome.h"

#include <QString>

#include <functional>
#include <optional>

class InstallFiles;
class Services;

// The installation folder as every action of the tool finds and leaves it.
namespace Installation {

inline const QString kExecutable = QStringLiteral("Vantora.exe");
// The downloaded executable, complete, before it is moved into place.
inline const QString kNewExecutable = QStringLiteral("Vantora_new.exe");
// The executable an update replaced: the copy to go back to.
inline const QString kOldExecutable = QStringLiteral("Vantora_old.exe");
// Held by the updater that works in the folder.
inline const QString kLockFile = QStringLiteral("updater.lock");

// Puts back what an interrupted swap left: with no Vantora.exe, the
// replaced copy (Vantora_old.exe) or else the downloaded one
// (Vantora_new.exe) is moved into its place; a Vantora_new.exe left beside
// a Vantora.exe by an earlier run is deleted. Nothing else is touched, and
// a link under any of the three names is neither moved nor deleted.
void repair(const QString &appFolder, InstallFiles &files);

// Runs one action in the folder: holding the folder's lock for the whole
// run (a lock the operating system lets go when its holder ends, so a
// killed updater never blocks the next one) and after repair(). When
// another updater holds the lock, shows the exclamation box that says so,
// with the busy cursor until it is closed, and runs nothing: Busy. A link
// in place of the lock file is refused with a box (Failed). A folder where
// no lock file can be made runs the action without one. Nothing when the
// action ran.
std::optional<Outcome> runAction(Services &services, const QString &appFolder, InstallFiles &files,
                                 const std::function<void()> &action);

} // namespace Installation
