// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/LauncherEntryProgress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include "runtime/ProgramTitle.h"

namespace tavmar::window {

namespace {

/// Whether a session bus has been named to us. libdbus would otherwise fall
/// back to autolaunching a bus through the X server, so the same places it
/// looks at are checked first: the address variable, then the per-user bus
/// socket (ours, and a socket).
bool SessionBusNamed() {
    if (!qgetenv("DBUS_SESSION_BUS_ADDRESS").isEmpty()) {
        return true;
    }
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (runtimeDir.isEmpty()) {
        return false;
    }
    const QByteArray socket = runtimeDir + "/bus";
    struct stat status {};
    return ::stat(socket.constData(), &status) == 0 && S_ISSOCK(status.st_mode) &&
           status.st_uid == ::getuid();
}

} // namespace

void LauncherEntryProgress::Show(double fraction) noexcept {
    Send(fraction, true);
}

void LauncherEntryProgress::Clear() noexcept {
    Send(0.0, false);
}

void LauncherEntryProgress::Send(double fraction, bool visible) noexcept {
    if (bus_ == Bus::Unknown) {
        bus_ = SessionBusNamed() ? Bus::Present : Bus::Absent;
    }
    if (bus_ == Bus::Absent) {
        return;
    }
    auto signal = QDBusMessage::createSignal(QStringLiteral("/"),
                                             QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                             QStringLiteral("Update"));
    const QString appUri =
        QStringLiteral("application://") +
        QString::fromUtf8(runtime::kDesktopEntryId.data(),
                          static_cast<qsizetype>(runtime::kDesktopEntryId.size())) +
        QStringLiteral(".desktop");
    const QVariantMap properties{{QStringLiteral("progress"), fraction},
                                 {QStringLiteral("progress-visible"), visible}};
    signal << appUri << properties;
    // A bus that refuses the connection or the signal costs the user nothing
    // but the taskbar's bar; the copy goes on.
    QDBusConnection::sessionBus().send(signal);
}

} // namespace tavmar::window
