#pragma once

#include <QByteArray>
#include <QString>

#include <utility>

// File steps that must happen in one piece. Each platform has its own
// implementation beside this file.
namespace FileOps {

// Moves the file `from` to `to` within one volume, in one step, replacing
// a file already at `to`. False when nothing was moved.
bool replace(const QString &from, const QString &to);

// Appends the bytes at the end of the file (made when missing) in one
// write that no other writer can split or overwrite, even one in another
// process at the same moment. A link in the file's place is not written
// through. False when they were not all written.
bool append(const QString &path, const QByteArray &bytes);

// An exclusive lock on a file (made when missing) that the operating system
// lets go when its holder ends, however it ends: a killed updater never
// blocks the next one, whatever process ids a container or a reboot hands
// out. Its handle is not inherited by programs the tool starts. A link in
// place of the file is not followed. The file stays when the lock is let
// go (removing it would let two holders lock two different files).
class FileLock
{
public:
    enum class State {
        Held,        // this object holds the lock
        Busy,        // another process holds it
        Link,        // a symbolic link or reparse point is at the path
        Unavailable, // the file cannot be made or opened (a read-only folder)
    };

    // Tries once, without waiting.
    explicit FileLock(const QString &path);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    State state() const { return m_state; }

private:
    State m_state = State::Unavailable;
    qintptr m_handle = -1;
};

// A file that many pieces are appended to, each by append()'s rule. On
// Linux it stays open between appends, which saves opening it for every
// one; on Windows each append opens, locks and closes it. An open file that
// was moved aside or deleted is written on until followPath() or release();
// the next append then opens whatever the path names.
class AppendFile
{
public:
    explicit AppendFile(QString path);
    ~AppendFile();
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    bool append(const QByteArray &bytes);
    // Releases the open file when the path no longer names it.
    void followPath();
    void release();

private:
    QString m_path;
    int m_fd = -1;
};

} // namespace FileOps
