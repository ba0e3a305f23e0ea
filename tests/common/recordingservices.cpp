#include "common/recordingservices.h"

QString styleName(MessageStyle style)
{
    switch (style) {
    case MessageStyle::Information: return QStringLiteral("info");
    case MessageStyle::Exclamation: return QStringLiteral("warn");
    case MessageStyle::Critical: return QStringLiteral("critical");
    case MessageStyle::Question: return QStringLiteral("question");
    case MessageStyle::Plain: return QStringLiteral("plain");
    }
    return QStringLiteral("?");
}

void RecordingServices::setStatus(const QString &text)
{
    m_status = text;
    log << QStringLiteral("status:") + text;
}

void RecordingServices::processPendingEvents()
{
    log << QStringLiteral("events");
    if (onEvents)
        onEvents();
}

void RecordingServices::setBusyCursor(bool busy)
{
    m_busy = busy;
    log << (busy ? QStringLiteral("cursor:busy") : QStringLiteral("cursor:default"));
}

Answer RecordingServices::showMessage(const QString &prompt, MessageStyle style, const QString &title)
{
    log << QStringLiteral("box:%1:%2:%3")
               .arg(styleName(style), title.isEmpty() ? QStringLiteral("Updater") : title, prompt);
    if (style != MessageStyle::Question)
        return Answer::Ok;
    if (m_answers.isEmpty()) {
        log << QStringLiteral("unexpected question");
        return Answer::No;
    }
    return m_answers.takeFirst();
}

void RecordingServices::showReportPanel(bool shown)
{
    log << (shown ? QStringLiteral("panel:shown") : QStringLiteral("panel:hidden"));
}

void RecordingServices::setProgressRange(int minimum, int maximum)
{
    log << QStringLiteral("range:%1..%2").arg(minimum).arg(maximum);
}

void RecordingServices::setProgressValue(int value)
{
    log << QStringLiteral("value:%1").arg(value);
}

void RecordingServices::setServerList(const QStringList &items)
{
    m_servers = items;
    log << QStringLiteral("servers:") + items.join(QLatin1Char('|'));
}

void RecordingServices::setReportColumn(const QString &caption, int widthTwips)
{
    log << QStringLiteral("column:%1:%2").arg(caption).arg(widthTwips);
}

void RecordingServices::setSelectAllChecked(bool checked)
{
    const bool changed = checked != m_selectAll;
    m_selectAll = checked;
    log << QStringLiteral("selectall:%1").arg(checked ? 1 : 0);
    if (changed && onSelectAllChanged)
        onSelectAllChanged();
}

QStringList RecordingServices::only(const QStringList &prefixes) const
{
    QStringList result;
    for (const QString &entry : log) {
        for (const QString &prefix : prefixes) {
            if (entry.startsWith(prefix)) {
                result << entry;
                break;
            }
        }
    }
    return result;
}

QStringList RecordingServices::statuses() const
{
    QStringList result;
    for (const QString &entry : only({QStringLiteral("status:")}))
        result << entry.mid(7);
    return result;
}

QStringList RecordingServices::boxes() const
{
    return only({QStringLiteral("box:")});
}

QList<int> RecordingServices::values() const
{
    QList<int> result;
    for (const QString &entry : only({QStringLiteral("value:")}))
        result << entry.mid(6).toInt();
    return result;
}

QStringList withoutDownloadProgress(const QStringList &log)
{
    QStringList result;
    for (const QString &record : log) {
        const int value = record.startsWith(QLatin1String("value:")) ? record.mid(6).toInt() : 0;
        if (value <= 40 || value >= 100)
            result << record;
    }
    return result;
}
