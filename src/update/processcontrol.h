#pragma once

#include <QString>
#include <QStringList>

#include <memory>

// How a watched program stands: still running, or how it ended.
struct ProgramEnd
{
    enum class How { Running, Exited, Signal, NotStarted };
    How how = How::Running;
    // The exit code (on Windows the process's status: from 0xC0000000 up a
    // crash or a loader failure), or the signal's number.
    qint64 code = 0;
    // NotStarted: why, as the platform says it.
    QString reason;
};

// A program started and watched: it outlives the watcher all the same.
class WatchedProgram
{
public:
    virtual ~WatchedProgram() = default;
    // How it stands now, without waiting.
    virtual ProgramEnd poll() = 0;
    // False where the platform gives no way to see it end: it is not
    // waited for.
    virtual bool watched() const { return true; }
};

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

    // Starts `program` as startDetached() does, but keeps what tells how it
    // ends: a program that could not start says so on its first poll.
    // Without a way to watch, the program is started detached and is taken
    // to run on.
    virtual std::unique_ptr<WatchedProgram> startWatched(const QString &program, const QStringList &arguments,
                                                         const QString &workingFolder);

    // Whether an instance of the program at `executablePath` runs (as
    // stopAll() would find it). False where it cannot be told.
    virtual bool anyRunning(const QString &executablePath)
    {
        Q_UNUSED(executablePath);
        return false;
    }

    // The implementation for the platform this build runs on.
    static ProcessControl &system();
};
