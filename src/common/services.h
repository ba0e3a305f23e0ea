#pragma once

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
    // The "Select All" check box. Setting it does not run its click handler.
    virtual bool selectAllChecked() const = 0;
    virtual void setSelectAllChecked(bool checked) = 0;
};

// Titles used by the error traps.
inline const QString kTrapTitle = QStringLiteral("Message ");
inline const QString kListTrapTitle = QStringLiteral("Message LIST ");

// "number : description", the text of the generic error-trap box.
inline QString trapText(int number, const QString &description)
{
    return QString::number(number) + QStringLiteral(" : ") + description;
}
