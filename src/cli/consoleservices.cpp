#include "cli/consoleservices.h"

#include "common/loggingservices.h"

#include <QCoreApplication>
#include <QTextStream>

namespace {

QString oneLine(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" | "));
    text.replace(u'\n', QStringLiteral(" | "));
    text.replace(u'\r', QStringLiteral(" | "));
    return text;
}

} // namespace

void ConsoleServices::say(const QString &line, bool failure) const
{
    if (!m_quiet) {
        QTextStream out(stdout);
        out << line << Qt::endl;
    }
    if (failure) {
        QTextStream err(stderr);
        err << line << Qt::endl;
    }
}

void ConsoleServices::setStatus(const QString &text)
{
    if (!text.isEmpty())
        say(QStringLiteral("status: ") + oneLine(text));
}

void ConsoleServices::note(const QString &line)
{
    say(QStringLiteral("note: ") + oneLine(line));
}

void ConsoleServices::processPendingEvents()
{
    // As the window does: an action may ask many times a millisecond (a
    // script of many small batches), and once a frame is enough.
    if (m_sinceEvents.isValid() && !m_sinceEvents.hasExpired(kEventsIntervalMs))
        return;
    QCoreApplication::processEvents();
    m_sinceEvents.start();
}

Answer ConsoleServices::showMessage(const QString &prompt, MessageStyle style, const QString &title)
{
    const Answer answer = style != MessageStyle::Question ? Answer::Ok : (m_yes ? Answer::Yes : Answer::No);
    const QString shownTitle = title.isEmpty() ? QStringLiteral("Updater") : title;
    QString line = QStringLiteral("box %1 \"%2\": %3").arg(styleWord(style), shownTitle, oneLine(prompt));
    if (style == MessageStyle::Question)
        line += answer == Answer::Yes ? QStringLiteral(" -> Yes") : QStringLiteral(" -> No (without --yes)");
    say(line, style == MessageStyle::Critical || style == MessageStyle::Exclamation);
    return answer;
}

void ConsoleServices::setSelectAllChecked(bool checked)
{
    const bool changed = checked != m_selectAll;
    m_selectAll = checked;
    if (changed && onSelectAllChanged)
        onSelectAllChanged();
}
