// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

#include "runtime/WindowControls.h"

class QObject;
class QTimer;

namespace tavmar::window {

/// The window's controls reached by object name: line edits have text,
/// widgets and timers have an enabled flag, timers have an interval.
///
/// A timer ticks only while it is enabled and its interval is above 0, so
/// enabling a timer whose interval is 0 gives no ticks (a QTimer alone would
/// fire on every pass of the event loop).
class QtWindowControls : public runtime::WindowControls {
  public:
    /// Looks controls up among the descendants of `root`, which outlives this.
    explicit QtWindowControls(QObject& root);

    bool IsEnabled(std::string_view control) const override;
    void SetEnabled(std::string_view control, bool enabled) override;

    std::string Text(std::string_view control) const override;
    void SetText(std::string_view control, const std::string& text) override;

    int Interval(std::string_view timer) const override;
    void SetInterval(std::string_view timer, int milliseconds) override;

  private:
    QObject& Find(std::string_view control) const;
    QTimer& FindTimer(std::string_view timer) const;

    QObject& root_;
};

} // namespace tavmar::window
