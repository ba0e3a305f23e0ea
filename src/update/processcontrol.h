#pragma once

#include <QString>
#include <QStringList>

// Stopping and starting the application's processes. The update talks to
// this interface only; each platform has its own implementation beside it.
class ProcessControl
{
public:
    virtual ~ProcessControl() = default;

    // Stops every running instance of the program at `executablePath`
    // (such as C:\Vantora\Vantora.exe) that this user runs: a process of
    // this user (on Windows, of this user's session) whose program has the
    // file's name and lies in the file's folder. Instances of another
    // installation, and other users' (a scheduled run as an administrator
    // on a terminal server), are left alone. Each is stopped at once,
    // without waiting for it or checking that it ended. Returns how many it
    // told to stop.
    virtual int stopAll(const QString &executablePath) = 0;

    // Starts `program` with `arguments` in `workingFolder`, detached: it is
    // not waited for and outlives the caller. False when it cannot start.
    virtual bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder) = 0;

    // The implementation for the platform this build runs on.
    static ProcessControl &system();
};
