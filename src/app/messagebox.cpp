#include "app/messagebox.h"

#include <QMessageBox>

namespace {
MessageBox::Hook &hook()
{
    static MessageBox::Hook instance;
    return instance;
}
} // namespace

void MessageBox::setHook(Hook newHook)
{
    hook() = std::move(newHook);
}

Answer MessageBox::show(QWidget *parent, const QString &prompt, MessageStyle style, const QString &title)
{
    const QString shownTitle = title.isEmpty() ? QStringLiteral("Updater") : title;
    if (hook())
        return hook()(prompt, style, shownTitle);

    QMessageBox box(parent);
    box.setWindowTitle(shownTitle);
    // Texts from servers and files are shown as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(prompt);
    switch (style) {
    case MessageStyle::Information: box.setIcon(QMessageBox::Information); break;
    case MessageStyle::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case MessageStyle::Critical: box.setIcon(QMessageBox::Critical); break;
    case MessageStyle::Question: box.setIcon(QMessageBox::Question); break;
    case MessageStyle::Plain: box.setIcon(QMessageBox::NoIcon); break;
    }
    if (style == MessageStyle::Question) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? Answer::Yes : Answer::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return Answer::Ok;
}
