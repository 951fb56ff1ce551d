// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>

#include "copy/OperationState.h"
#include "runtime/Failure.h"
#include "runtime/FileTable.h"
#include "runtime/MessageBox.h"
#include "runtime/ProgressDisplay.h"
#include "runtime/WindowControls.h"

namespace tavmar::copy {

/// The window's copy actions: Start, the timer tick, Abort and the shared
/// teardown. Holds the operation record; reaches the window only through its
/// controls by name, and files only through the file table. The fraction
/// of the range copied goes to `progress` after Start and after every whole
/// block, and is cleared at every end of an operation.
class CopyOperation {
  public:
    CopyOperation(runtime::FileTable& files, runtime::WindowControls& controls,
                  runtime::MessageBox& messages,
                  runtime::ProgressDisplay& progress = runtime::NoProgressDisplay());

    /// Click of cmdStart: converts and checks the fields, opens both files
    /// and arms the timer. Every refusal is reported in a message box, whose
    /// informative text names the field or the file and says why, and
    /// leaves the window idle; nothing escapes to the caller. Does nothing
    /// while an operation runs.
    void StartOperation();

    /// Tick of tmrOperate: copies the next block, or ends the operation when
    /// the range is exhausted ("Operation complete", once the output is on
    /// stable storage under its path and the teardown succeeded) or a read,
    /// write or the flush fails. One fault gives one error box, naming the
    /// file when the failure tells which; a teardown that meets the failure
    /// again on the same file adds nothing, a new one in the teardown adds
    /// its own box after it. Does nothing while no operation runs.
    void OperateTick();

    /// Ends the current operation and returns the window to idle. Both files
    /// are closed whatever fails on the way, and the record is reset; the
    /// first failure is reported once in a message box (naming the file
    /// whose close failed), nothing escapes to the caller. A failure while
    /// stopping the timer or disabling Abort leaves Start and Exit disabled
    /// and Abort as it was, so Abort runs the teardown again.
    void TerminateOperation();

    /// Click of cmdAbort: ends the operation between two blocks, silently.
    void AbortOperation();

    /// The record, owned here for the window's whole life. The window's
    /// unload clears Operating before calling TerminateOperation.
    OperationState& State() { return state_; }
    const OperationState& State() const { return state_; }

  private:
    using FailedFile = runtime::FailedFile;

    /// A failure of the teardown, with the informative text naming its file.
    struct TeardownFailure {
        runtime::Failure failure;
        std::string cause;
    };

    /// Shows an exclamation box captioned with the program title and
    /// " - Error", with `informative` (the cause) under `text`.
    void ShowError(const std::string& text, const std::string& informative = {});
    /// Shows the teardown's "... occured while terminating operation" box.
    void ShowTeardownError(const TeardownFailure& failure);
    /// The informative text for `failure` of a step on `file`: the file, its
    /// path as typed and the failure's description; empty for an unknown file.
    std::string Cause(FailedFile file, const runtime::Failure& failure) const;
    /// The file a failed block copy concerned: the one the failure names, or
    /// else what its number tells.
    FailedFile CopySide(const runtime::Failure& failure) const;
    /// Enables Start, then Exit: the way back to idle after a refused start.
    void EnableStartAndExit();
    /// Copies the current tick's bytes; true when the range is exhausted
    /// within this tick, false when a whole block was copied. Raises the file
    /// layer's failure, or Overflow for an output position past 2^31 - 1.
    bool CopyBlock();
    /// Shows Progress as a fraction of the bytes in the range.
    void ShowProgress();
    /// TerminateOperation's steps, showing nothing. Returns the first failure
    /// among them that is new, so no "Operation complete" may follow it: not
    /// one that only meets `reported` (a failure already shown on
    /// `reportedFile`) again on the same file, or with the same number where
    /// either file is unknown.
    std::optional<TeardownFailure> Teardown(const runtime::Failure* reported = nullptr,
                                            FailedFile reportedFile = FailedFile::Unknown);

    runtime::FileTable& files_;
    runtime::WindowControls& controls_;
    runtime::MessageBox& messages_;
    runtime::ProgressDisplay& progress_;
    OperationState state_;
};

} // namespace tavmar::copy
