// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/CloseRequests.h"

#include <array>
#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSocketNotifier>

#include "runtime/Failure.h"
#include "window/frmMain.h"

namespace tavmar::window {

namespace {

constexpr std::array<int, 3> kCloseSignals{SIGTERM, SIGINT, SIGHUP};

/// The socket the handler writes to; -1 while no instance is alive.
volatile std::sig_atomic_t signalSocket = -1;

extern "C" void OnCloseSignal(int signalNumber) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // Non-blocking: when the socket is full a close is already on its way.
    if (signalSocket >= 0 && ::write(signalSocket, &byte, 1) < 0) {
    }
    errno = savedErrno;
}

} // namespace

CloseRequests::CloseRequests(frmMain& window) : window_(window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sockets_) != 0) {
        throw runtime::FailureFromErrno(errno);
    }
    signalSocket = sockets_[0];
    notifier_ = new QSocketNotifier(sockets_[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &CloseRequests::ReadSignals);

    struct sigaction action {};
    action.sa_handler = OnCloseSignal;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kCloseSignals.size(); ++i) {
        ::sigaction(kCloseSignals[i], &action, &previous_[i]);
    }

#ifndef QT_NO_SESSIONMANAGER
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this] { window_.RequestClose(); });
#endif
    connect(qGuiApp, &QCoreApplication::aboutToQuit, this, [this] { window_.RequestClose(); });
}

CloseRequests::~CloseRequests() {
    for (std::size_t i = 0; i < kCloseSignals.size(); ++i) {
        ::sigaction(kCloseSignals[i], &previous_[i], nullptr);
    }
    signalSocket = -1;
    delete notifier_;
    ::close(sockets_[0]);
    ::close(sockets_[1]);
}

void CloseRequests::ReadSignals() {
    unsigned char bytes[64];
    while (::read(sockets_[1], bytes, sizeof bytes) > 0) {
    }
    window_.RequestClose();
}

} // namespace tavmar::window
