// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "runtime/ProgressDisplay.h"

namespace tavmar::window {

/// The operation's progress on the program's entry in the taskbar or dock,
/// sent as the desktop's launcher-entry Update signal on the session bus.
/// Connects on first use. Without a session bus (no DBUS_SESSION_BUS_ADDRESS
/// and no bus socket in XDG_RUNTIME_DIR) every call does nothing, prints
/// nothing and never starts a bus; a signal that cannot be sent is dropped.
class LauncherEntryProgress : public runtime::ProgressDisplay {
  public:
    void Show(double fraction) noexcept override;
    void Clear() noexcept override;

  private:
    void Send(double fraction, bool visible) noexcept;

    enum class Bus { Unknown, Present, Absent };
    Bus bus_ = Bus::Unknown;
};

} // namespace tavmar::window
