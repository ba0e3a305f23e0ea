#pragma once

#include "common/services.h"

#include <QList>
#include <QStringList>

#include <functional>

// A stand-in for the window that records, in order, everything an action
// does to it, and answers question boxes from a script.
//
// Records: "status:TEXT", "events", "cursor:busy", "cursor:default",
// "box:STYLE:TITLE:PROMPT" (STYLE one of info, warn, critical, question,
// plain; TITLE "Updater" when none is given), "panel:shown", "panel:hidden",
// "range:MIN..MAX", "value:V", "servers:A|B", "column:CAPTION:WIDTH",
// "selectall:0|1". The log's notes go to `notes`.
class RecordingServices : public Services
{
public:
    void setStatus(const QString &text) override;
    void processPendingEvents() override;
    void setBusyCursor(bool busy) override;
    Answer showMessage(const QString &prompt, MessageStyle style, const QString &title = QString()) override;
    void showReportPanel(bool shown) override;
    void setProgressRange(int minimum, int maximum) override;
    void setProgressValue(int value) override;
    void setServerList(const QStringList &items) override;
    void setReportColumn(const QString &caption, int widthTwips) override;
    bool selectAllChecked() const override { return m_selectAll; }
    void setSelectAllChecked(bool checked) override;
    void note(const QString &line) override { notes << line; }

    // Answers for the next question boxes, in order. An unscripted question
    // is answered No and recorded as "unexpected question".
    void answer(std::initializer_list<Answer> answers) { m_answers += answers; }
    // Runs at every processPendingEvents(), as queued clicks would.
    std::function<void()> onEvents;
    // Runs when "Select All" changes its value, as the window runs its
    // handler.
    std::function<void()> onSelectAllChanged;

    QStringList log;
    QStringList notes;
    // The records that start with one of the prefixes, in order.
    QStringList only(const QStringList &prefixes) const;
    QStringList statuses() const;
    QStringList boxes() const;
    QList<int> values() const;
    bool busy() const { return m_busy; }
    QString status() const { return m_status; }
    QStringList servers() const { return m_servers; }

private:
    QList<Answer> m_answers;
    bool m_busy = false;
    bool m_selectAll = false;
    QString m_status;
    QStringList m_servers;
};

QString styleName(MessageStyle style);

// The records without the bar's moves while an executable's bytes arrive
// (values 41 to 99), which depend on how fast they come.
QStringList withoutDownloadProgress(const QStringList &log);
