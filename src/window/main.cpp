// SPDX-License-Identifier: GPL-3.0-or-later
#include <csignal>
#include <cstdlib>
#include <string_view>

#include <QApplication>
#include <QString>

#include "runtime/PosixFileTable.h"
#include "runtime/ProgramTitle.h"
#include "settings/RememberedFields.h"
#include "store/IniSettingsStore.h"
#include "window/CloseRequests.h"
#include "window/CommandLine.h"
#include "window/SessionBus.h"
#include "window/frmMain.h"

int main(int argc, char* argv[]) {
    // --help and --version answer before Qt starts, so they need no display.
    if (const auto answer = tavmar::window::CommandLineAnswer(argc, argv)) {
        return tavmar::window::WriteAnswer(*answer) ? EXIT_SUCCESS : EXIT_FAILURE;
    }

    // Past a file size limit a write fails with EFBIG instead of killing us.
    std::signal(SIGXFSZ, SIG_IGN);

    // Qt reaches for the session bus on its own too (accessibility, the
    // theme); without one, that must not leave a bus daemon running after us.
    tavmar::window::NeverAutolaunchASessionBus();

    // Any other argument is ignored. Qt sees only the program's name, so
    // its own options (-qwindowtitle, -reverse, -style, ...) cannot change
    // the window; the platform's environment variables still apply.
    static char fallbackName[] = "tavmar-velmora";
    int qtArgc = 1;
    char* qtArgv[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr};
    QApplication app(qtArgc, qtArgv);
    // The application title; on X11 it is also the WM_CLASS class. Settings
    // do not depend on it: the store names its application itself.
    QApplication::setApplicationName(QString::fromStdString(tavmar::runtime::ProgramTitle()));
    // On Wayland the app_id, which ties the window to the desktop entry; Qt
    // would take the executable's name, wrong when the program is renamed.
    const std::string_view desktopId = tavmar::runtime::kDesktopEntryId;
    QApplication::setDesktopFileName(
        QString::fromUtf8(desktopId.data(), static_cast<qsizetype>(desktopId.size())));

    tavmar::runtime::PosixFileTable files;
    tavmar::store::IniSettingsStore store;
    files.SetOwnFiles(store.OwnFiles(tavmar::settings::kApplicationName));
    tavmar::window::frmMain window(files, store);
    tavmar::window::CloseRequests closeRequests(window);
    window.show();
    return QApplication::exec();
}
