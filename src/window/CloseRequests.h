// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <csignal>
#include <cstdint>

#include <QAbstractNativeEventFilter>
#include <QObject>

class QSocketNotifier;

namespace tavmar::window {

class frmMain;

/// Turns the ways a program is asked to stop from outside into a close of
/// the window, so they all take the window's one unload: SIGTERM, SIGINT and
/// SIGHUP, the session manager asking for the user's data, and the
/// application quitting. On X11 it also passes on the window manager's close
/// request (the close button, Alt+F4) that Qt drops while a message box
/// blocks the window, so the window closes once the box is dismissed.
///
/// A signal handler only writes a byte to a socket pair; the event loop reads
/// it and closes the window. One instance at a time; the previous signal
/// handlers come back when it is destroyed.
class CloseRequests : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

  public:
    /// Watches for close requests for `window`, which outlives this.
    explicit CloseRequests(frmMain& window);
    ~CloseRequests() override;

    CloseRequests(const CloseRequests&) = delete;
    CloseRequests& operator=(const CloseRequests&) = delete;

    /// Sees the X11 window manager's close requests; lets every event pass.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

  private:
    void ReadSignals();

    frmMain& window_;
    /// The X11 atoms WM_PROTOCOLS and WM_DELETE_WINDOW; 0 off X11.
    std::uint32_t protocolsAtom_ = 0;
    std::uint32_t deleteWindowAtom_ = 0;
    int sockets_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction previous_[3] = {};
};

} // namespace tavmar::window
