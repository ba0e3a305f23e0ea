#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <utility>

// File steps that must happen in one piece, and the one rule on links: the
// tool never writes through one. Each platform has its own implementation
// beside this file.
namespace FileOps {

// Moves the file `from` to `to` within one volume, in one step, replacing
// a file already at `to` (a link there is replaced itself, never what it
// leads to). A link at `from` is not moved, so that `to` never becomes one.
// False when nothing was moved.
bool replace(const QString &from, const QString &to);

// True when a symbolic link (on Windows any reparse point: a symbolic link,
// a junction) is at the path itself, whatever it leads to, nothing
// included.
bool isLink(const QString &path);

// Why a link at the path is refused, for a box or the log.
inline QString linkRefused(const QString &path)
{
    return QDir::toNativeSeparators(path)
        + QStringLiteral(" is a link to another place. The Updater does not write through links: please remove it "
                         "and try again.");
}

// Opens `file`, a QFile not yet open, on the file at `path` for writing
// (`mode` as QFile::open takes it: WriteOnly or ReadWrite, with Append or
// Truncate), made when missing. A link in the file's place is neither
// followed nor changed: the open itself refuses it, so it cannot be put
// there between a look and the open. The file is opened through its
// handle (QFile::fileName() stays as it was) and is not inherited by
// programs the tool starts. False when it was not opened.
bool openForWriting(QFile &file, const QString &path, QIODevice::OpenMode mode);

// Opens `file`, a QFile not yet open, on the plain file at `path` for
// reading, without waiting on it: a pipe, a device or a folder at the path
// is refused, its open returning at once (a pipe's open or read waits for
// a writer that may never come, and would hold whatever the reader holds).
// On Windows the file must be a disk file. The file is opened through its
// handle (QFile::fileName() stays as it was) and is not inherited by
// programs the tool starts.
enum class ReadOpen {
    Opened,
    Missing,  // nothing at the path
    NotPlain, // a pipe, a device, a folder
    Failed,   // no access, or another error
};
ReadOpen openForReading(QFile &file, const QString &path);

// Why the file at `path` was not opened for reading, for a box or the log.
inline QString notOpenedReason(ReadOpen result, const QString &path)
{
    const QString native = QDir::toNativeSeparators(path);
    switch (result) {
    case ReadOpen::Missing: return QStringLiteral("%1 is not there").arg(native);
    case ReadOpen::NotPlain: return QStringLiteral("%1 is not a plain file (a pipe, a device or a folder)").arg(native);
    default: return QStringLiteral("%1 cannot be opened for reading").arg(native);
    }
}

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
