#pragma once

#include "common/failure.h"

#include <QString>
#include <QStringList>

// How a message box looks: its icon and buttons.
enum class MessageStyle {
    Information, // OK, information icon
    Exclamation, // OK, warning icon
    Critical,    // OK, error icon
    Question,    // Yes and No, question icon
    Plain,       // OK, no icon
};

enum class Answer { Ok, Yes, No };

// What the actions may do to the window. The real window implements it in
// src/app; tests use a recording stand-in. Everything runs on the
// user-interface thread.
class Services
{
public:
    virtual ~Services() = default;

    // Replaces the whole status line.
    virtual void setStatus(const QString &text) = 0;
    // Lets the window repaint and handle queued input (clicks included).
    virtual void processPendingEvents() = 0;
    // true: hourglass; false: the default cursor, however often true was set.
    virtual void setBusyCursor(bool busy) = 0;
    // A modal box. An empty title shows the application title "Updater".
    virtual Answer showMessage(const QString &prompt, MessageStyle style, const QString &title = QString()) = 0;
    // Shows or hides the report panel.
    virtual void showReportPanel(bool shown) = 0;

    // The progress bar: range first, then values.
    virtual void setProgressRange(int minimum, int maximum) = 0;
    virtual void setProgressValue(int value) = 0;

    // The hidden server list.
    virtual void setServerList(const QStringList &items) = 0;

    // The report list's one column: caption and width in twips.
    virtual void setReportColumn(const QString &caption, int widthTwips) = 0;
    // The "Select All" check box. Every change of its value, made by a
    // person or by setSelectAllChecked(), runs its handler once; setting the
    // value it already has runs nothing.
    virtual bool selectAllChecked() const = 0;
    virtual void setSelectAllChecked(bool checked) = 0;

    // A line for the update log that no status text or box carries (a
    // warning, why this desk waits); nothing is shown.
    virtual void note(const QString & /*line*/) {}
};

// The hourglass for one action: set when made, the default cursor back when
// the action's scope ends, whichever way it ends (after its final box, which
// is shown inside that scope).
class BusyCursor
{
public:
    explicit BusyCursor(Services &services) : m_services(services) { m_services.setBusyCursor(true); }
    ~BusyCursor()
    {
        try {
            m_services.setBusyCursor(false);
        } catch (...) {
            // Nothing is left to report on.
        }
    }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;

private:
    Services &m_services;
};

// Titles used by the error traps.
inline const QString kTrapTitle = QStringLiteral("Message ");
inline const QString kListTrapTitle = QStringLiteral("Message LIST ");

// "number : description", the text of the generic error-trap box.
inline QString trapText(int number, const QString &description)
{
    return QString::number(number) + QStringLiteral(" : ") + description;
}

// The generic error-trap box: critical, "number : description", titled
// kTrapTitle or kListTrapTitle.
inline void showTrapBox(Services &services, const Failure &failure, const QString &title)
{
    services.showMessage(trapText(failure.number, failure.description), MessageStyle::Critical, title);
}
