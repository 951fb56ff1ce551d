// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <csignal>

#include <QObject>

class QSocketNotifier;

namespace tavmar::window {

class frmMain;

/// Turns the ways a program is asked to stop from outside into a close of
/// the window, so they all take the window's one unload: SIGTERM, SIGINT and
/// SIGHUP, the session manager asking for the user's data, and the
/// application quitting.
///
/// A signal handler only writes a byte to a socket pair; the event loop reads
/// it and closes the window. One instance at a time; the previous signal
/// handlers come back when it is destroyed.
class CloseRequests : public QObject {
    Q_OBJECT

  public:
    /// Watches for close requests for `window`, which outlives this.
    explicit CloseRequests(frmMain& window);
    ~CloseRequests() override;

    CloseRequests(const CloseRequests&) = delete;
    CloseRequests& operator=(const CloseRequests&) = delete;

  private:
    void ReadSignals();

    frmMain& window_;
    int sockets_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction previous_[3] = {};
};

} // namespace tavmar::window
