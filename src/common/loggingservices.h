#pragma once

#include "common/services.h"

class UpdateLog;

// The window services of either mode, with every status text and every box
// (its text and the answer given) also written to the update log, except
// "Executing batch i of n": that becomes the step the batch's own line
// (LoggingDatabase) names. Whatever else the actions do to the window passes
// through unchanged.
class LoggingServices final : public Services
{
public:
    LoggingServices(Services &inner, UpdateLog &log) : m_inner(inner), m_log(log) {}

    void setStatus(const QString &text) override;
    void processPendingEvents() override { m_inner.processPendingEvents(); }
    void setBusyCursor(bool busy) override { m_inner.setBusyCursor(busy); }
    Answer showMessage(const QString &prompt, MessageStyle style, const QString &title = QString()) override;
    void showReportPanel(bool shown) override { m_inner.showReportPanel(shown); }
    void setProgressRange(int minimum, int maximum) override { m_inner.setProgressRange(minimum, maximum); }
    void setProgressValue(int value) override { m_inner.setProgressValue(value); }
    void setServerList(const QStringList &items) override { m_inner.setServerList(items); }
    void setReportColumn(const QString &caption, int widthTwips) override
    {
        m_inner.setReportColumn(caption, widthTwips);
    }
    bool selectAllChecked() const override { return m_inner.selectAllChecked(); }
    void setSelectAllChecked(bool checked) override { m_inner.setSelectAllChecked(checked); }
    void note(const QString &line) override;

private:
    Services &m_inner;
    UpdateLog &m_log;
};

// A box's style as a word: information, exclamation, critical, question,
// plain.
QString styleWord(MessageStyle style);
