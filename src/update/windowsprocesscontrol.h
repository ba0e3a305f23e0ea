#pragma once

#include "update/processcontrol.h"

// Processes on Windows, through the Win32 layer (win32/win32layer.h): a
// process matches a name when its image name equals it without regard to
// case; every match this user may open is terminated, as the system's
// management service would; a start hides the window.
class WindowsProcessControl final : public ProcessControl
{
public:
    int stopAll(const QString &executablePath) override;
    bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder) override;
    // Keeps the process handle: WaitForSingleObject and GetExitCodeProcess
    // tell how it ended.
    std::unique_ptr<WatchedProgram> startWatched(const QString &program, const QStringList &arguments,
                                                 const QString &workingFolder) override;
    // An instance by image name, in any folder.
    bool anyRunning(const QString &executablePath) override;
};
