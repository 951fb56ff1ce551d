// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/LauncherEntryProgress.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include "runtime/ProgramTitle.h"
#include "window/SessionBus.h"

namespace tavmar::window {

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
