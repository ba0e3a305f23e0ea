#pragma once

#include <QString>

// The machine the tool runs on and the account it runs as, as the script's
// journal and the installation's status file name them: short names only,
// never a person's full name.
namespace ThisDesk {

// The computer's name; "unknown" when the system gives none.
QString computerName();
// The account's login name (USERNAME, USER, LOGNAME, else the system's
// record of the running user); "unknown" when there is none.
QString accountName();

} // namespace ThisDesk
