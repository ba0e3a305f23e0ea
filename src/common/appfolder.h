#pragma once

#include <QString>

// The application folder: where the running executable lives (installed
// beside the application), never the working directory.
QString applicationFolder();

// folder + one separator + name, with no doubled separator at a root.
QString inFolder(const QString &folder, const QString &name);
