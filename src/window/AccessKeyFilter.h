// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QtGlobal>

class QEvent;
class QKeyEvent;

namespace tavmar::window {

/// An application-wide event filter for the keys that press buttons: access
/// keys, Enter and Esc. Each press acts once, at the moment it is pressed,
/// and a key pressed with Alt never types into a text field.
///
/// - An access key clicks its button at once (Qt would click it about
///   100 ms later, after the keys pressed in between).
/// - A text field takes no text from a key pressed with Alt, on any keyboard
///   layout: Qt matches access keys by the Latin letter of the key where the
///   layout has one, and by the typed letter otherwise, so a key it did not
///   match must not type its letter either. AltGr is another modifier and
///   keeps typing; Alt with a key that types nothing (Alt+Backspace) is left
///   to the field.
/// - A key held down presses once: its auto-repeats of Enter, Esc, any key
///   with Alt, and of Space on a button, neither reach a shortcut nor any
///   widget, message boxes included.
class AccessKeyFilter : public QObject {
    Q_OBJECT

  public:
    /// Filters every event of the application while it lives; a child of
    /// `parent`.
    explicit AccessKeyFilter(QObject& parent);
    ~AccessKeyFilter() override;

    AccessKeyFilter(const AccessKeyFilter&) = delete;
    AccessKeyFilter& operator=(const AccessKeyFilter&) = delete;

    /// Clicks a button on its access key; swallows the key presses above.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    /// Whether `key` repeats a key held down.
    bool IsRepeat(const QKeyEvent& key) const;

    /// The last key released: its scan code and time stamp.
    quint32 releasedScanCode_ = 0;
    quint64 releasedAt_ = 0;
};

} // namespace tavmar::window
