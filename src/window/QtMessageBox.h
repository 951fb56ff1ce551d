// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QPointer>

#include "runtime/MessageBox.h"

class QMessageBox;
class QWidget;

namespace tavmar::window {

/// Modal Qt message boxes over the window, one OK button each. Show returns
/// when the box is dismissed; the event loop keeps running meanwhile.
class QtMessageBox : public runtime::MessageBox {
  public:
    /// Boxes are parented to `window`, which outlives this.
    explicit QtMessageBox(QWidget& window);

    /// Shows `text` and `informative` as plain text (a file name is never
    /// read as markup), with a warning icon for Exclamation and an
    /// information icon for Information; `informative` is also the box's
    /// accessible description, whole. The box shows `informative` left to
    /// right in the order of its characters, with its control characters and
    /// direction controls made visible, wrapped at any character and with
    /// the middle of a very long one left out, so it fits on the screen.
    /// Does nothing once Retire has been called.
    void Show(const std::string& text, runtime::MessageIcon icon, const std::string& caption,
              const std::string& informative) override;

    /// Dismisses every open box as if OK were pressed: their Show calls
    /// return once control is back in their event loops.
    void DismissOpen();

    /// DismissOpen, and no box is shown from now on: the window is going.
    void Retire();

    /// Whether a box is shown and not yet dismissed.
    bool IsOpen() const;

    /// Runs `then` once, when the last open box has been dismissed.
    void WhenNoneOpen(std::function<void()> then);

  private:
    QWidget& window_;
    std::vector<QPointer<QMessageBox>> open_;
    std::function<void()> whenNoneOpen_;
    bool retired_ = false;
};

} // namespace tavmar::window
