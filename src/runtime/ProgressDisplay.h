// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace tavmar::runtime {

/// Where the running operation's progress is shown (the window's title, the
/// program's entry in the desktop's taskbar). Showing progress is a courtesy:
/// neither call raises, and a display that cannot show anything does nothing.
class ProgressDisplay {
  public:
    virtual ~ProgressDisplay() = default;

    /// Shows `fraction` (0 to 1) of the operation as done.
    virtual void Show(double fraction) noexcept = 0;

    /// Shows no progress any more: the operation has ended.
    virtual void Clear() noexcept = 0;
};

/// A display that shows nothing, for a copy nobody watches.
inline ProgressDisplay& NoProgressDisplay() {
    class Nothing final : public ProgressDisplay {
      public:
        void Show(double /*fraction*/) noexcept override {}
        void Clear() noexcept override {}
    };
    static Nothing nothing;
    return nothing;
}

} // namespace tavmar::runtime
