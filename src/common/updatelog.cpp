#include "common/updatelog.h"

#include "common/appfolder.h"
#include "common/fileops.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QThread>

namespace {

const QString kLogName = QStringLiteral("updater.log");
// How long a writer waits for another one that is rotating the log.
constexpr int kRotateWaitMs = 2'000;
constexpr int kRotateRetryMs = 20;

bool folderIsWritable(const QString &folder)
{
    // A file made and removed again: the only sure test on every platform.
    QTemporaryFile probe(inFolder(folder, QStringLiteral(".updater-probe-XXXXXX")));
    return probe.open();
}

} // namespace

QString UpdateLog::timeStamp(const QDateTime &when)
{
    // The offset always written out, UTC included ("+00:00", not "Z").
    const int offset = when.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return when.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + (offset < 0 ? u'-' : u'+')
        + QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

UpdateLog::UpdateLog(QString path, qint64 rotateBytes) : m_path(std::move(path)), m_rotateBytes(rotateBytes)
{
}

QString UpdateLog::defaultPath(const QString &appFolder)
{
    if (folderIsWritable(appFolder))
        return inFolder(appFolder, kLogName);
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (data.isEmpty() || !QDir().mkpath(data))
        return inFolder(appFolder, kLogName);
    return inFolder(data, kLogName);
}

void UpdateLog::addSecret(const QString &secret)
{
    if (!secret.isEmpty() && !m_secrets.contains(secret))
        m_secrets << secret;
}

void UpdateLog::rotateIfFull()
{
    if (QFileInfo(m_path).size() < m_rotateBytes)
        return;
    // One process rotates; the others find the new, small log after it. The
    // lock goes with its holder, however that ends.
    const QString lockPath = m_path + QStringLiteral(".lock");
    for (int waited = 0;; waited += kRotateRetryMs) {
        const FileOps::FileLock lock(lockPath);
        if (lock.state() == FileOps::FileLock::State::Held) {
            if (QFileInfo(m_path).size() >= m_rotateBytes)
                FileOps::replace(m_path, m_path + QStringLiteral(".1"));
            return;
        }
        if (lock.state() != FileOps::FileLock::State::Busy || waited >= kRotateWaitMs)
            return;
        QThread::msleep(kRotateRetryMs);
    }
}

bool UpdateLog::write(const QString &kind, const QString &text)
{
    if (m_path.isEmpty())
        return false;
    rotateIfFull();
    QString shown = text;
    for (const QString &secret : m_secrets)
        shown.replace(secret, QStringLiteral("********"));
    shown.replace(QStringLiteral("\r\n"), QStringLiteral(" | "));
    shown.replace(QLatin1Char('\n'), QStringLiteral(" | "));
    shown.replace(QLatin1Char('\r'), QStringLiteral(" | "));
    const QString stamp = timeStamp(QDateTime::currentDateTime());
    const QByteArray line = (stamp + QStringLiteral(" [") + QString::number(QCoreApplication::applicationPid())
                             + QStringLiteral("] ") + kind + QStringLiteral(": ") + shown)
                                .toUtf8()
        + '\n';
    return FileOps::append(m_path, line);
}
