// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/CloseRequests.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QByteArray>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QWindow>

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

/// The atom `name` on `connection`, or 0. libxcb is the one Qt's X11
/// platform plugin has loaded: the program links no X11 library itself.
xcb_atom_t InternAtom(xcb_connection_t* connection, const char* name) {
    void* xcb = ::dlopen("libxcb.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (xcb == nullptr) {
        return XCB_ATOM_NONE;
    }
    auto* intern = reinterpret_cast<decltype(&xcb_intern_atom)>(::dlsym(xcb, "xcb_intern_atom"));
    auto* reply =
        reinterpret_cast<decltype(&xcb_intern_atom_reply)>(::dlsym(xcb, "xcb_intern_atom_reply"));
    xcb_atom_t atom = XCB_ATOM_NONE;
    xcb_intern_atom_reply_t* answer =
        intern == nullptr || reply == nullptr
            ? nullptr
            : reply(connection, intern(connection, 0, std::strlen(name), name), nullptr);
    if (answer != nullptr) {
        atom = answer->atom;
        std::free(answer); // NOLINT(*-no-malloc): libxcb allocates its replies with malloc
    }
    ::dlclose(xcb);
    return atom;
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

    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 != nullptr && x11->connection() != nullptr) {
        protocolsAtom_ = InternAtom(x11->connection(), "WM_PROTOCOLS");
        deleteWindowAtom_ = InternAtom(x11->connection(), "WM_DELETE_WINDOW");
        qGuiApp->installNativeEventFilter(this);
    }
}

CloseRequests::~CloseRequests() {
    qGuiApp->removeNativeEventFilter(this);
    for (std::size_t i = 0; i < kCloseSignals.size(); ++i) {
        ::sigaction(kCloseSignals[i], &previous_[i], nullptr);
    }
    signalSocket = -1;
    delete notifier_;
    ::close(sockets_[0]);
    ::close(sockets_[1]);
}

bool CloseRequests::nativeEventFilter(const QByteArray& eventType, void* message,
                                      qintptr* /*result*/) {
    if (eventType != "xcb_generic_event_t" || deleteWindowAtom_ == XCB_ATOM_NONE ||
        (static_cast<xcb_generic_event_t*>(message)->response_type & 0x7f) != XCB_CLIENT_MESSAGE) {
        return false;
    }
    const auto& event = *static_cast<xcb_client_message_event_t*>(message);
    // Qt drops this request while a modal box blocks the window; our own
    // close() reaches the window, which then waits for the box.
    if (event.format == 32 && event.type == protocolsAtom_ &&
        event.data.data32[0] == deleteWindowAtom_ && QGuiApplication::modalWindow() != nullptr &&
        window_.windowHandle() != nullptr && event.window == window_.windowHandle()->winId()) {
        QMetaObject::invokeMethod(
            &window_, [this] { window_.close(); }, Qt::QueuedConnection);
    }
    return false;
}

void CloseRequests::ReadSignals() {
    unsigned char bytes[64];
    while (::read(sockets_[1], bytes, sizeof bytes) > 0) {
    }
    window_.RequestClose();
}

} // namespace tavmar::window
