// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/AccessKeyFilter.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QShortcutEvent>

namespace tavmar::window {

namespace {

/// Whether `key`, pressed in `watched`, presses a button: Enter, Esc, an
/// access key, or Space on a button.
bool PressesAButton(const QKeyEvent& key, const QObject* watched) {
    return key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter ||
           key.key() == Qt::Key_Escape || key.modifiers().testFlag(Qt::AltModifier) ||
           (key.key() == Qt::Key_Space && qobject_cast<const QAbstractButton*>(watched) != nullptr);
}

/// Whether `key` is pressed with Alt and would insert its text.
bool TypesWithAlt(const QKeyEvent& key) {
    const QString text = key.text();
    return key.modifiers().testFlag(Qt::AltModifier) && !text.isEmpty() &&
           text.front().category() != QChar::Other_Control;
}

} // namespace

AccessKeyFilter::AccessKeyFilter(QObject& parent) : QObject(&parent) {
    QCoreApplication::instance()->installEventFilter(this);
}

AccessKeyFilter::~AccessKeyFilter() {
    QCoreApplication::instance()->removeEventFilter(this);
}

bool AccessKeyFilter::IsRepeat(const QKeyEvent& key) const {
    // X11 repeats a held key as a release and a press with one time stamp;
    // Qt does not always see the pair in time and then reports a new press.
    return key.isAutoRepeat() ||
           (key.nativeScanCode() != 0 && key.timestamp() != 0 &&
            key.nativeScanCode() == releasedScanCode_ && key.timestamp() == releasedAt_);
}

bool AccessKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::Shortcut) {
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (button != nullptr && !static_cast<QShortcutEvent*>(event)->isAmbiguous()) {
            button->click(); // does nothing while the button is disabled
            return true;
        }
    } else if (type == QEvent::KeyRelease) {
        const auto& key = *static_cast<QKeyEvent*>(event);
        releasedScanCode_ = key.nativeScanCode();
        releasedAt_ = key.timestamp();
    } else if (type == QEvent::KeyPress || type == QEvent::ShortcutOverride) {
        const auto& key = *static_cast<QKeyEvent*>(event);
        // An accepted ShortcutOverride keeps a repeat from every shortcut;
        // its key press then comes here and is swallowed too.
        if ((PressesAButton(key, watched) && IsRepeat(key)) ||
            (type == QEvent::KeyPress && qobject_cast<QLineEdit*>(watched) != nullptr &&
             TypesWithAlt(key))) {
            event->accept();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace tavmar::window
