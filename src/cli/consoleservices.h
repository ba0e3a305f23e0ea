#pragma once

#include "common/services.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <functional>

// The window services of the unattended mode: every status text, every
// note and every box is one line on standard output (a box with its kind and title), the
// failures (critical and exclamation boxes) also on standard error; a
// question is answered Yes only when the command line says --yes. The bar,
// the cursor, the panel and the lists have no screen here.
class ConsoleServices final : public Services
{
public:
    ConsoleServices(bool yes, bool quiet) : m_yes(yes), m_quiet(quiet) {}

    void setStatus(const QString &text) override;
    // What the log hears beside the boxes (where a file came from, why a
    // desk waits): a line too.
    void note(const QString &line) override;
    void processPendingEvents() override;
    void setBusyCursor(bool /*busy*/) override {}
    Answer showMessage(const QString &prompt, MessageStyle style, const QString &title = QString()) override;
    void showReportPanel(bool /*shown*/) override {}
    void setProgressRange(int /*minimum*/, int /*maximum*/) override {}
    void setProgressValue(int /*value*/) override {}
    void setServerList(const QStringList & /*servers*/) override {}
    void setReportColumn(const QString & /*heading*/, int /*widthTwips*/) override {}
    bool selectAllChecked() const override { return m_selectAll; }
    void setSelectAllChecked(bool checked) override;

    // Runs "Select All"'s handler when its value changes.
    std::function<void()> onSelectAllChanged;

    // A line of the unattended mode's own (a result, a usage error).
    void say(const QString &line, bool failure = false) const;

private:
    static constexpr qint64 kEventsIntervalMs = 15;

    bool m_yes;
    bool m_quiet;
    QElapsedTimer m_sinceEvents;
    bool m_selectAll = false;
};
