#include "common/fileops.h"

#include "win32/win32layer.h"

#include <QDir>

namespace FileOps {

bool replace(const QString &from, const QString &to)
{
    return Win32::moveReplacing(QDir::toNativeSeparators(from).toStdWString(),
                                QDir::toNativeSeparators(to).toStdWString());
}

bool append(const QString &path, const QByteArray &bytes)
{
    return Win32::appendBytes(QDir::toNativeSeparators(path).toStdWString(), bytes.constData(),
                              static_cast<std::size_t>(bytes.size()));
}

FileLock::FileLock(const QString &path)
{
    void *handle = nullptr;
    switch (Win32::lockFile(QDir::toNativeSeparators(path).toStdWString(), handle)) {
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
