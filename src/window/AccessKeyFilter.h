// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QSet>
#include <QtGlobal>

class QByteArray;
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
///   match must not type its letter either. Nor from a key pressed with
///   Super, Meta or Hyper, which are the desktop's. AltGr is another
///   modifier and keeps typing; Alt with a key that types nothing
///   (Alt+Backspace) is left to the field.
/// - A key pressed with one of these modifiers cancels what the input method
///   is composing (a dead key, a Compose sequence) and starts nothing there:
///   the chord acts as the access key it is. On X11 the composition is
///   cancelled before the key reaches the input method; elsewhere the input
///   method may take the key, and then its text is dropped, the composition
///   cancelled and the access key acts when the key is released.
/// - A key held down presses once: its auto-repeats of Enter, Esc, any key
///   with Alt, and of Space on a button, neither reach a shortcut nor any
///   widget, message boxes included.
class AccessKeyFilter : public QObject, public QAbstractNativeEventFilter {
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

    /// Sees X11 key presses before the input method does; lets every event
    /// pass.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

  private:
    /// Whether `key` repeats a key held down.
    bool IsRepeat(const QKeyEvent& key) const;
    /// Follows presses and releases; a release of a key whose press the
    /// input method took with a command modifier cancels the composition and
    /// presses the access key.
    void Track(const QKeyEvent& key);

    /// The last key released: its scan code and time stamp.
    quint32 releasedScanCode_ = 0;
    quint64 releasedAt_ = 0;
    /// The scan codes of the keys down whose press reached the program.
    QSet<quint32> down_;
    /// The key event Track looked at last, which it sees again for every
    /// widget the event is offered to.
    struct Tracked {
        const QKeyEvent* event = nullptr;
        int type = 0;
        quint64 at = 0;
        bool operator==(const Tracked&) const = default;
    };
    Tracked tracked_;
    /// The last X11 key press had a command modifier.
    bool chordBefore_ = false;
};

} // namespace tavmar::window
