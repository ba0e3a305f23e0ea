#pragma once

#include "common/services.h"

#include <functional>

class QWidget;

// Modal message boxes. Tests install a hook that answers instead of a person;
// the hook sees every box the window would have shown.
namespace MessageBox {
using Hook = std::function<Answer(const QString &prompt, MessageStyle style, const QString &title)>;

Answer show(QWidget *parent, const QString &prompt, MessageStyle style, const QString &title);
void setHook(Hook hook);
} // namespace MessageBox
