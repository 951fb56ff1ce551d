// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace tavmar::window {

/// Whether a session bus has been named to this process: a
/// DBUS_SESSION_BUS_ADDRESS, or the per-user bus socket in XDG_RUNTIME_DIR
/// (ours, and a socket), the places libdbus looks before it autolaunches one.
bool SessionBusNamed() noexcept;

/// Where no session bus is named, names an address that cannot connect, so
/// that no use of the bus (ours or Qt's own) autolaunches a bus daemon through
/// the X server, which would outlive the program. Call before QApplication.
void NeverAutolaunchASessionBus() noexcept;

} // namespace tavmar::window
