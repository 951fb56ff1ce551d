// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/AccessKeyFilter.h"

#include <QAbstractButton>
#include <QEvent>
#include <QGroupBox>
#include <QKeyCombination>
#include <QKeyEvent>
#include <QKeySequence>
#include <QWidget>

namespace tavmar::window {

AccessKeyFilter::AccessKeyFilter(QWidget& window) : QObject(&window), window_(window) {}

bool AccessKeyFilter::IsAccessKey(const QKeyEvent& event) const {
    // Shift and the keypad do not make it another key; an access key is
    // matched whatever the state of either.
    const QKeyCombination pressed(event.modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier),
                                  Qt::Key(event.key()));
    auto matches = [&pressed](const QString& caption) {
        const QKeySequence key = QKeySequence::mnemonic(caption);
        return !key.isEmpty() && key[0] == pressed;
    };
    for (const auto* button : window_.findChildren<QAbstractButton*>()) {
        if (matches(button->text())) {
            return true;
        }
    }
    for (const auto* frame : window_.findChildren<QGroupBox*>()) {
        if (matches(frame->title())) {
            return true;
        }
    }
    return false;
}

bool AccessKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && IsAccessKey(*static_cast<QKeyEvent*>(event))) {
        event->accept();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace tavmar::window
