// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class QEvent;
class QKeyEvent;
class QWidget;

namespace tavmar::window {

/// An event filter for a window's text fields: the access keys of the
/// window's buttons and group boxes never type into a field. Qt hands the
/// key press of a disabled button's access key to the focused widget, and a
/// line edit would insert its letter. Every other key, AltGr included, is
/// left alone.
class AccessKeyFilter : public QObject {
    Q_OBJECT

  public:
    /// The keys are read from the captions of `window`'s buttons and group
    /// boxes at each key press, so a changed caption counts at once. The
    /// filter is a child of `window`.
    explicit AccessKeyFilter(QWidget& window);

    /// Swallows a key press in `watched` that is one of the access keys.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool IsAccessKey(const QKeyEvent& event) const;

    QWidget& window_;
};

} // namespace tavmar::window
