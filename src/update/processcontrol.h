#pragma once

#include <QString>
#include <QStringList>

// Stopping and starting the application's processes. The update talks to
// this interface only; each platform has its own implementation beside it.
class ProcessControl
{
public:
    virtual ~ProcessControl() = default;

    // Stops every running process of this user whose program is `name`
    // (such as "Vantora.exe"), each at once and without waiting for it or
    // checking that it ended. Returns how many it told to stop.
    virtual int stopAll(const QString &name) = 0;

    // Starts `program` with `arguments` in `workingFolder`, detached: it is
    // not waited for and outlives the caller. False when it cannot start.
    virtual bool startDetached(const QString &program, const QStringList &arguments, const QString &workingFolder) = 0;

    // The implementation for the platform this build runs on.
    static ProcessControl &system();
};
