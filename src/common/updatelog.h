#pragma once

#include "common/fileops.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// The update log, updater.log: one line per thing the tool did or said,
// time-stamped in ISO 8601 with the offset from UTC, for the IT people who
// keep a school's machines current. Both the window and the command line
// write it.
//
// Every line is appended by one write to a file opened for appending
// (FileOps::AppendFile), so a crash loses no earlier line and two processes
// writing at once lose none. At 1 MiB the log is rotated: it becomes
// updater.log.1 (replacing an older one) and a new updater.log begins; a
// process that finds the log rotated by another goes on in the new one
// within a second. No password is
// ever written: lines pass through the mask first.
class UpdateLog
{
public:
    static constexpr qint64 kRotateBytes = qint64{1024} * 1024;

    // A log at `path`; an empty path logs nothing.
    explicit UpdateLog(QString path = QString(), qint64 rotateBytes = kRotateBytes);

    // updater.log in the application folder, or in the user's application
    // data folder when the application folder cannot be written.
    static QString defaultPath(const QString &appFolder);

    QString path() const { return m_path; }

    // One line: "TIME [PID] KIND: TEXT", line ends inside the text shown as
    // " | ". False when it could not be written.
    bool write(const QString &kind, const QString &text);

    // ISO 8601 local time with its offset: 2026-12-08T21:30:05.123+01:00.
    static QString timeStamp(const QDateTime &when);

    // What the tool is at ("batch 3 of 10"), for the lines that follow.
    void setStep(const QString &step) { m_step = step; }
    QString step() const { return m_step; }

    // Texts never to write (the database password); they are masked.
    void addSecret(const QString &secret);
    // The text with those masked, for what is written elsewhere.
    QString masked(const QString &text) const;

private:
    void rotateIfFull(qint64 now);
    QString stampNow(qint64 now);

    QString m_path;
    FileOps::AppendFile m_file;
    qint64 m_rotateBytes;
    QStringList m_secrets;
    QString m_step;
    // The log's size when last looked at, when that was (ms since the
    // epoch), and the bytes this log has appended since.
    qint64 m_knownSize = 0;
    qint64 m_sizeCheckedAt = -1;
    qint64 m_appendedSince = 0;
    // The time stamp of the current minute, up to its seconds and from its
    // offset on, and the process's part of every line.
    qint64 m_stampMinute = -1;
    QString m_stampHead;
    QString m_stampTail;
    QString m_pid;
};
