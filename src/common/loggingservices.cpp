#include "common/loggingservices.h"

#include "common/updatelog.h"

QString styleWord(MessageStyle style)
{
    switch (style) {
    case MessageStyle::Information: return QStringLiteral("information");
    case MessageStyle::Exclamation: return QStringLiteral("exclamation");
    case MessageStyle::Critical: return QStringLiteral("critical");
    case MessageStyle::Question: return QStringLiteral("question");
    case MessageStyle::Plain: return QStringLiteral("plain");
    }
    return QStringLiteral("box");
}

void LoggingServices::setStatus(const QString &text)
{
    static const QString batch = QStringLiteral("Executing batch ");
    if (text.startsWith(batch)) {
        // The batch's own line (LoggingDatabase) names it when it has run:
        // one line per batch, not two.
        m_log.setStep(text.mid(10)); // "batch 3 of 10"
    } else if (!text.isEmpty()) {
        m_log.write(QStringLiteral("status"), text);
    }
    m_inner.setStatus(text);
}

void LoggingServices::note(const QString &line)
{
    m_log.write(QStringLiteral("note"), line);
    m_inner.note(line);
}

Answer LoggingServices::showMessage(const QString &prompt, MessageStyle style, const QString &title)
{
    const Answer answer = m_inner.showMessage(prompt, style, title);
    const QString shownTitle = title.isEmpty() ? QStringLiteral("Updater") : title;
    QString line = styleWord(style) + QStringLiteral(" \"") + shownTitle + QStringLiteral("\": ") + prompt;
    if (style == MessageStyle::Question)
        line += answer == Answer::Yes ? QStringLiteral(" -> Yes") : QStringLiteral(" -> No");
    m_log.write(QStringLiteral("box"), line);
    return answer;
}
