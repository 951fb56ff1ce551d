// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/AccessKeyFilter.h"

#include <cstdint>

#include <xcb/xcb.h>

#include <QAbstractButton>
#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QEvent>
#include <QGroupBox>
#include <QInputMethod>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QShortcutEvent>

namespace tavmar::window {

namespace {

/// The modifiers that make a key a command rather than text: Alt, and
/// Super, Meta or Hyper, which Qt reports as Meta.
constexpr Qt::KeyboardModifiers kCommand = Qt::AltModifier | Qt::MetaModifier;

/// The X11 modifier bits that carry them in the usual key maps: Mod1 for Alt,
/// Mod3 and Mod4 for Super and Hyper. Mod5 is AltGr, which types.
constexpr std::uint16_t kX11Command = XCB_MOD_MASK_1 | XCB_MOD_MASK_3 | XCB_MOD_MASK_4;

/// Whether `key` presses a button: Enter, Esc, an access key, or Space on a
/// button.
bool PressesAButton(const QKeyEvent& key, const QObject* watched) {
    return key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter ||
           key.key() == Qt::Key_Escape || key.modifiers().testFlag(Qt::AltModifier) ||
           (key.key() == Qt::Key_Space && qobject_cast<const QAbstractButton*>(watched) != nullptr);
}

/// Whether `key` is pressed with a command modifier and would insert its text.
bool TypesWithCommand(const QKeyEvent& key) {
    const QString text = key.text();
    return (key.modifiers() & kCommand) != Qt::NoModifier && !text.isEmpty() &&
           text.front().category() != QChar::Other_Control;
}

bool IsCommandModifier(int key) {
    return key == Qt::Key_Alt || key == Qt::Key_Meta || key == Qt::Key_Super_L ||
           key == Qt::Key_Super_R || key == Qt::Key_Hyper_L || key == Qt::Key_Hyper_R;
}

/// Drops a pending dead key or Compose sequence of the input method.
void CancelComposition() {
    QGuiApplication::inputMethod()->reset();
}

/// Does what Alt with `key` does in the active window: the enabled, visible
/// button or frame whose caption marks that access key gets its shortcut.
void PressAccessKey(int key) {
    QWidget* window = QApplication::activeWindow();
    if (window == nullptr) {
        return;
    }
    const QKeySequence wanted(QKeyCombination(Qt::AltModifier, Qt::Key(key)));
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        const auto* button = qobject_cast<QAbstractButton*>(widget);
        const auto* frame = qobject_cast<QGroupBox*>(widget);
        const QString caption =
            button != nullptr ? button->text() : (frame != nullptr ? frame->title() : QString());
        if (!caption.isEmpty() && widget->isVisible() && widget->isEnabled() &&
            QKeySequence::mnemonic(caption) == wanted) {
            QShortcutEvent shortcut(wanted, 0);
            QCoreApplication::sendEvent(widget, &shortcut);
            return;
        }
    }
}

} // namespace

AccessKeyFilter::AccessKeyFilter(QObject& parent) : QObject(&parent) {
    QCoreApplication::instance()->installEventFilter(this);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

AccessKeyFilter::~AccessKeyFilter() {
    QCoreApplication::instance()->removeNativeEventFilter(this);
    QCoreApplication::instance()->removeEventFilter(this);
}

bool AccessKeyFilter::IsRepeat(const QKeyEvent& key) const {
    // X11 repeats a held key as a release and a press with one time stamp;
    // Qt does not always see the pair in time and then reports a new press.
    return key.isAutoRepeat() ||
           (key.nativeScanCode() != 0 && key.timestamp() != 0 &&
            key.nativeScanCode() == releasedScanCode_ && key.timestamp() == releasedAt_);
}

void AccessKeyFilter::Track(const QKeyEvent& key) {
    const quint32 code = key.nativeScanCode();
    if (code == 0 || key.isAutoRepeat()) {
        return;
    }
    // One key event is offered to the window and then to each widget up
    // from the focus: it counts once.
    const Tracked tracked{&key, key.type(), key.timestamp()};
    if (tracked == tracked_) {
        return;
    }
    tracked_ = tracked;
    if (key.type() == QEvent::KeyPress) {
        down_.insert(code);
        return;
    }
    // The input method takes presses but never releases: a release whose
    // press did not come is a key the input method composed with.
    const bool pressSeen = down_.remove(code);
    if (IsCommandModifier(key.key())) {
        CancelComposition(); // an Alt+dead key must not leave a composition
    } else if (!pressSeen && (key.modifiers() & kCommand) != Qt::NoModifier) {
        CancelComposition();
        PressAccessKey(key.key());
    }
}

bool AccessKeyFilter::nativeEventFilter(const QByteArray& eventType, void* message,
                                        qintptr* /*result*/) {
    if (eventType != "xcb_generic_event_t" ||
        (static_cast<xcb_generic_event_t*>(message)->response_type & 0x7f) != XCB_KEY_PRESS) {
        return false;
    }
    // Here the input method has not seen the key yet. A command chord, and
    // the key after one (Alt+dead key would have started a composition),
    // start from no composition.
    const bool chord = (static_cast<xcb_key_press_event_t*>(message)->state & kX11Command) != 0;
    if (chord || chordBefore_) {
        CancelComposition();
    }
    chordBefore_ = chord;
    return false;
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
        Track(key);
    } else if (type == QEvent::KeyPress || type == QEvent::ShortcutOverride) {
        const auto& key = *static_cast<QKeyEvent*>(event);
        if (type == QEvent::KeyPress) {
            Track(key);
        }
        // An accepted ShortcutOverride keeps a repeat from every shortcut;
        // its key press then comes here and is swallowed too.
        if ((PressesAButton(key, watched) && IsRepeat(key)) ||
            (type == QEvent::KeyPress && qobject_cast<QLineEdit*>(watched) != nullptr &&
             TypesWithCommand(key))) {
            event->accept();
            return true;
        }
    } else if (type == QEvent::InputMethod && qobject_cast<QLineEdit*>(watched) != nullptr &&
               !static_cast<QInputMethodEvent*>(event)->commitString().isEmpty() &&
               (QGuiApplication::queryKeyboardModifiers() & kCommand) != Qt::NoModifier) {
        // A composition finished by a command chord: the chord types nothing.
        CancelComposition();
        event->accept();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace tavmar::window
