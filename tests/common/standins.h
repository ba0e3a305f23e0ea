#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Stand-in application processes for one test. Everything runs from one
// folder: the stand-ins a test starts and the ones the tool starts there
// are found by their executable's folder, and the destructor stops and
// reaps them all, so no test leaves a process behind. Processes outside
// the folder are never touched.
//
// The test process becomes the reaper of orphans it caused, so a detached
// stand-in that was stopped does not linger as a zombie.
class StandIns
{
public:
    explicit StandIns(QString folder);
    ~StandIns();
    StandIns(const StandIns &) = delete;
    StandIns &operator=(const StandIns &) = delete;

    // The stand-in's own bytes; a copy with bytes appended still runs.
    static QByteArray bytes();
    // Writes the stand-in (plus `extra`) to `path` with the permissions.
    static bool install(const QString &path, const QByteArray &extra = QByteArray(), int permissions = 0755);

    // Starts `program` detached and waits until it has logged its start.
    // Returns its process id, or -1.
    qint64 start(const QString &program, const QStringList &arguments = {});

    // Running (not zombie) processes whose executable lies in the folder.
    QList<qint64> running() const;
    // The lines "PID ARGS" that stand-ins from `executable` have logged.
    static QStringList logLines(const QString &executable);
    // Waits up to `timeoutMs` for a process to end; true when it did.
    static bool waitStopped(qint64 pid, int timeoutMs = 5'000);
    static bool isRunning(qint64 pid);
    // The executable of a process as the kernel shows it.
    static QString executableOf(qint64 pid);

    // Stops and reaps every stand-in of the folder.
    void stopAll();

private:
    QString m_folder;
    QList<qint64> m_started;
};
