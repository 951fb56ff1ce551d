// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "runtime/ProgressDisplay.h"

class QWidget;

namespace tavmar::window {

/// The operation's progress where every desktop shows it, at the start of the
/// window's title, passed on to `next` (the taskbar entry) as the same whole
/// percent, so the two never disagree.
class TitleProgress : public runtime::ProgressDisplay {
  public:
    /// `window` and `next` outlive this display.
    TitleProgress(QWidget& window, runtime::ProgressDisplay& next);

    /// Titles the window "P % – " and the program's title, and shows P / 100
    /// on `next`. P is the whole percent done, rounded down and at most 99:
    /// the bytes are all copied a tick before the copy is complete (flushed
    /// and closed), and the title shows 100 % at no time.
    void Show(double fraction) noexcept override;

    /// Gives the window the program's title again and clears `next`.
    void Clear() noexcept override;

  private:
    QWidget& window_;
    runtime::ProgressDisplay& next_;
};

} // namespace tavmar::window
