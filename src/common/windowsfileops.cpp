#include "common/fileops.h"

#include "win32/win32layer.h"

#include <QDir>

#include <cstdint>
#include <fcntl.h>
#include <io.h>

namespace FileOps {

namespace {
std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}
} // namespace

bool replace(const QString &from, const QString &to)
{
    // A reparse point would be moved as itself.
    return !isLink(from) && Win32::moveReplacing(native(from), native(to));
}

bool isLink(const QString &path)
{
    return Win32::isReparsePoint(native(path));
}

bool openForWriting(QFile &file, const QString &path, QIODevice::OpenMode mode)
{
    void *handle = nullptr;
    if (Win32::openFile(native(path), mode.testFlag(QIODevice::Truncate), handle) != Win32::OpenResult::Opened)
        return false;
    // A C runtime descriptor over the handle, which QFile writes through.
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle),
                                   _O_BINARY | (mode.testFlag(QIODevice::Append) ? _O_APPEND : 0));
    if (fd < 0) {
        Win32::closeHandle(handle);
        return false;
    }
    if (file.open(fd, mode, QFileDevice::AutoCloseHandle))
        return true;
    _close(fd);
    return false;
}

ReadOpen openForReading(QFile &file, const QString &path)
{
    void *handle = nullptr;
    switch (Win32::openForReading(native(path), handle)) {
    case Win32::ReadResult::Opened: break;
    case Win32::ReadResult::Missing: return ReadOpen::Missing;
    case Win32::ReadResult::NotDisk: return ReadOpen::NotPlain;
    case Win32::ReadResult::Failed: return ReadOpen::Failed;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_BINARY | _O_RDONLY);
    if (fd < 0) {
        Win32::closeHandle(handle);
        return ReadOpen::Failed;
    }
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return ReadOpen::Opened;
    _close(fd);
    return ReadOpen::Failed;
}

bool append(const QString &path, const QByteArray &bytes)
{
    return Win32::appendBytes(native(path), bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

FileLock::FileLock(const QString &path)
{
    void *handle = nullptr;
    switch (Win32::lockFile(native(path), handle)) {
    case Win32::LockResult::Held:
        m_handle = reinterpret_cast<qintptr>(handle);
        m_state = State::Held;
        break;
    case Win32::LockResult::Busy: m_state = State::Busy; break;
    case Win32::LockResult::Link: m_state = State::Link; break;
    case Win32::LockResult::Failed: m_state = State::Unavailable; break;
    }
}

FileLock::~FileLock()
{
    if (m_state == State::Held)
        Win32::closeHandle(reinterpret_cast<void *>(m_handle));
}

// Each append opens the file: appendBytes locks it for its turn.
AppendFile::AppendFile(QString path) : m_path(std::move(path))
{
}

AppendFile::~AppendFile() = default;

bool AppendFile::append(const QByteArray &bytes)
{
    return FileOps::append(m_path, bytes);
}

void AppendFile::followPath()
{
}

void AppendFile::release()
{
}

} // namespace FileOps
