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

UpdateLog::UpdateLog(QString path, qint64 rotateBytes)
    : m_path(std::move(path)), m_file(m_path), m_rotateBytes(rotateBytes)
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

void UpdateLog::rotateIfFull(qint64 now)
{
    // The size is looked at again when this log's own lines may have filled
    // the file, and at least once a second for the lines of other processes
    // (a stat per line costs more than the line's own write).
    if (m_sizeCheckedAt >= 0 && now - m_sizeCheckedAt < 1000 && m_knownSize + m_appendedSince < m_rotateBytes)
        return;
    m_file.followPath();
    m_knownSize = QFileInfo(m_path).size();
    m_sizeCheckedAt = now;
    m_appendedSince = 0;
    if (m_knownSize < m_rotateBytes)
        return;
    // One process rotates; the others find the new, small log after it. The
    // lock goes with its holder, however that ends.
    const QString lockPath = m_path + QStringLiteral(".lock");
    for (int waited = 0;; waited += kRotateRetryMs) {
        const FileOps::FileLock lock(lockPath);
        if (lock.state() == FileOps::FileLock::State::Held) {
            if (QFileInfo(m_path).size() >= m_rotateBytes)
                FileOps::replace(m_path, m_path + QStringLiteral(".1"));
            break;
        }
        if (lock.state() != FileOps::FileLock::State::Busy || waited >= kRotateWaitMs)
            return;
        QThread::msleep(kRotateRetryMs);
    }
    m_file.followPath();
    m_knownSize = QFileInfo(m_path).size();
}

QString UpdateLog::stampNow(qint64 now)
{
    // The offset from UTC changes only at a whole minute, and working it out
    // reads the system's time zone: once a minute is enough.
    constexpr qint64 kMinute = 60'000;
    const qint64 minute = now / kMinute;
    if (minute != m_stampMinute) {
        const QString stamp = timeStamp(QDateTime::fromMSecsSinceEpoch(minute * kMinute));
        m_stampMinute = minute;
        m_stampHead = stamp.left(17); // "2026-12-08T21:30:"
        m_stampTail = stamp.mid(23);  // "+01:00"
    }
    const auto millis = static_cast<int>(now % kMinute);
    return m_stampHead
        + QStringLiteral("%1.%2")
              .arg(millis / 1000, 2, 10, QLatin1Char('0'))
              .arg(millis % 1000, 3, 10, QLatin1Char('0'))
        + m_stampTail;
}

QString UpdateLog::masked(const QString &text) const
{
    QString shown = text;
    for (const QString &secret : m_secrets)
        shown.replace(secret, QStringLiteral("********"));
    return shown;
}

bool UpdateLog::write(const QString &kind, const QString &text)
{
    if (m_path.isEmpty())
        return false;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    rotateIfFull(now);
    QString shown = masked(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral(" | "));
    shown.replace(QLatin1Char('\n'), QStringLiteral(" | "));
    shown.replace(QLatin1Char('\r'), QStringLiteral(" | "));
    if (m_pid.isEmpty())
        m_pid = QStringLiteral(" [%1] ").arg(QCoreApplication::applicationPid());
    const QByteArray line = (stampNow(now) + m_pid + kind + QStringLiteral(": ") + shown).toUtf8() + '\n';
    if (!m_file.append(line))
        return false;
    m_appendedSince += line.size();
    return true;
}
