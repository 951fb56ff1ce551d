#include <csignal>

#include <QApplication>
#include <QString>

#include "runtime/PosixFileTable.h"
#include "runtime/QtSettingsStore.h"
#include "window/CloseRequests.h"
#include "window/ProgramTitle.h"
#include "window/frmMain.h"

int main(int argc, char* argv[]) {
    // Past a file size limit a write fails with EFBIG instead of killing us.
    std::signal(SIGXFSZ, SIG_IGN);

    QApplication app(argc, argv);
    // The application title; on X11 it is also the WM_CLASS class. Settings
    // do not depend on it: the store names its application itself.
    QApplication::setApplicationName(QString::fromStdString(tavmar::window::ProgramTitle()));

    tavmar::runtime::PosixFileTable files;
    tavmar::runtime::QtSettingsStore store;
    tavmar::window::frmMain window(files, store);
    tavmar::window::CloseRequests closeRequests(window);
    window.show();
    return QApplication::exec();
}
