// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>

#include "copy/CopyOperation.h"
#include "runtime/FileTable.h"
#include "runtime/SettingsStore.h"
#include "window/LauncherEntryProgress.h"
#include "window/QtMessageBox.h"
#include "window/QtWindowControls.h"
#include "window/TitleProgress.h"

class QCloseEvent;
class QEvent;
class QGroupBox;
class QKeyEvent;
class QLineEdit;
class QPushButton;
class QTimer;

namespace tavmar::window {

class PathField;

/// The program's one window. It builds the controls, forwards their events
/// to the copy actions and runs the unload when it closes; it holds no copy
/// logic of its own.
///
/// A dialog for its keyboard: Enter presses the default button (Start, or
/// the button that has focus) and does nothing while that button is
/// disabled. Esc only aborts a running operation; it never closes the
/// window. Every close request, whatever its origin, goes through the one
/// unload and is never refused; one that arrives while a message box is open
/// waits until the box has been dismissed.
///
/// The focus follows the operation: when Start had it, Abort takes it once
/// the copy runs, and Start takes it back from Abort at the copy's end (and
/// after a refused start); a focus in a field stays there.
class frmMain : public QDialog {
    Q_OBJECT

  public:
    /// Builds the window and loads the remembered fields from `store`. The
    /// file table and the store outlive the window.
    frmMain(runtime::FileTable& files, runtime::SettingsStore& store, QWidget* parent = nullptr);

    /// The running operation's record, for a look from outside.
    const copy::OperationState& Operation() const { return copy_.State(); }

    /// Whether the unload has run.
    bool Unloaded() const { return unloaded_; }

    // `slots` is empty to the compiler but marks the section for moc.
  public slots: // NOLINT(readability-redundant-access-specifiers)
    /// A close request from outside the window (a signal, the session
    /// ending, the application quitting): an open message box is dismissed
    /// first, so the request never waits for the user, then the window
    /// closes.
    void RequestClose();

    /// QDialog rejects on Esc and on close; here a rejection is a close.
    void reject() override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    /// A change of font or style lays the controls out again.
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    /// Places every control at its twips position for the window's font,
    /// and sets the window's minimum size to the client size they need.
    void PlaceControls();
    void Connect();
    void Load();
    /// Ends a running operation silently, closes every file and saves the
    /// fields; runs once, however many close requests arrive.
    void Unload();

    runtime::FileTable& files_;
    runtime::SettingsStore& store_;

    QGroupBox* fraInputFile_ = nullptr;
    PathField* txtInputFile_ = nullptr;
    QLineEdit* txtInputFileStart_ = nullptr;
    QLineEdit* txtInputFileStop_ = nullptr;
    QGroupBox* fraOutputFile_ = nullptr;
    PathField* txtOutputFile_ = nullptr;
    QLineEdit* txtOutputFileStart_ = nullptr;
    QPushButton* cmdStart_ = nullptr;
    QPushButton* cmdAbort_ = nullptr;
    QPushButton* cmdExit_ = nullptr;
    QTimer* tmrOperate_ = nullptr;

    QtWindowControls controls_;
    QtMessageBox messages_;
    LauncherEntryProgress launcherEntry_;
    /// The copy's progress in the title and on the taskbar entry.
    TitleProgress progress_{*this, launcherEntry_};
    copy::CopyOperation copy_;
    bool unloaded_ = false;
    /// A close is waiting for the open message boxes to be dismissed.
    bool closePending_ = false;
    /// Start or Abort lost the focus by being disabled: the next of the two
    /// to be enabled takes it.
    bool focusToNextButton_ = false;
};

} // namespace tavmar::window
