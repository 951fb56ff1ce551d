// SPDX-License-Identifier: GPL-3.0-or-later
#include "copy/CopyOperation.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "copy/PositionText.h"
#include "runtime/Failure.h"
#include "runtime/ProgramTitle.h"

namespace tavmar::copy {

using runtime::Failure;
using runtime::FailureCode;
using runtime::FileAccess;
using runtime::MessageIcon;
namespace control = runtime::control;

namespace {

constexpr std::int64_t kMaxPosition = std::numeric_limits<std::int32_t>::max();

/// Raised inside StartOperation when a field is not a number; caught by its
/// conversion handler, which names the field and quotes its text.
struct ConversionFailure {
    const char* field;
    std::string text;
};

/// The value of the position field called `field` whose text is `text`.
std::int32_t Convert(const char* field, const std::string& text) {
    auto value = PositionFromText(text);
    if (!value) {
        throw ConversionFailure{field, text};
    }
    return *value;
}

/// Number and description of any failure that reaches a handler; the file
/// layer's failures carry their own, anything else is a system error.
Failure AsFailure(const std::exception& error) {
    if (const auto* failure = dynamic_cast<const Failure*>(&error)) {
        return *failure;
    }
    return Failure(FailureCode::SystemError, error.what());
}

std::string FailureText(const Failure& failure, const char* when) {
    return "Error #" + std::to_string(failure.Number()) + " (" + failure.Description() + ") " +
           when;
}

/// The file a failed step concerned, as the informative text names it:
/// "Input file <path as typed>: <description>".
std::string FileCause(const char* file, const std::string& path, const Failure& failure) {
    return std::string(file) + (path.empty() ? "" : " " + path) + ": " + failure.Description();
}

constexpr const char* kInputFile = "Input file";
constexpr const char* kOutputFile = "Output file";

} // namespace

CopyOperation::CopyOperation(runtime::FileTable& files, runtime::WindowControls& controls,
                             runtime::MessageBox& messages, runtime::ProgressDisplay& progress)
    : files_(files), controls_(controls), messages_(messages), progress_(progress) {}

void CopyOperation::ShowError(const std::string& text, const std::string& informative) {
    messages_.Show(text, MessageIcon::Exclamation, runtime::ProgramTitle() + " - Error",
                   informative);
}

void CopyOperation::ShowTeardownError(const TeardownFailure& failure) {
    // "occured" is the message's long-standing text, which users and their
    // notes know it by; the copy's own message reads "occurred".
    ShowError(FailureText(failure.failure, "occured while terminating operation"), failure.cause);
}

std::string CopyOperation::Cause(FailedFile file, const Failure& failure) const {
    switch (file) {
    case FailedFile::Input:
        return FileCause(kInputFile, state_.InputFileName, failure);
    case FailedFile::Output:
        return FileCause(kOutputFile, state_.OutputFileName, failure);
    case FailedFile::Unknown:
        break;
    }
    return {};
}

CopyOperation::FailedFile CopyOperation::CopySide(const Failure& failure) const {
    if (failure.File() != FailedFile::Unknown) {
        return failure.File();
    }
    switch (failure.Code()) {
    case FailureCode::InputEndsBeforeStop:
    case FailureCode::InputChanged:
        return FailedFile::Input;
    case FailureCode::DiskFull:
    case FailureCode::FileTooLarge:
    case FailureCode::ReadOnlyFileSystem:
    case FailureCode::OutputMoved:
        return FailedFile::Output;
    case FailureCode::BadFilePosition:
        // The input's position is looked at first.
        return state_.InputFileStart <= 0 ? FailedFile::Input : FailedFile::Output;
    default:
        // A device error, say, from a table that does not tell the file.
        return FailedFile::Unknown;
    }
}

void CopyOperation::EnableStartAndExit() {
    controls_.SetEnabled(control::kStart, true);
    controls_.SetEnabled(control::kExit, true);
}

void CopyOperation::StartOperation() {
    // A second start would overwrite the record of the files held open.
    if (state_.Operating) {
        return;
    }
    controls_.SetEnabled(control::kStart, false);
    controls_.SetEnabled(control::kExit, false);

    state_.InputFileName = controls_.Text(control::kInputFile);
    state_.OutputFileName = controls_.Text(control::kOutputFile);

    // The names are those the window reads out for the fields.
    try {
        state_.InputFileStart =
            Convert("First byte to copy", controls_.Text(control::kInputFileStart));
        state_.InputFileStop =
            Convert("Last byte to copy", controls_.Text(control::kInputFileStop));
        state_.OutputFileStart =
            Convert("Position in the output", controls_.Text(control::kOutputFileStart));
    } catch (const ConversionFailure& failure) {
        ShowError("Error converting start/stop values",
                  std::string(failure.field) + ": \"" + failure.text +
                      "\" is not a whole number from -2147483648 to 2147483647");
        EnableStartAndExit();
        return;
    }

    if (state_.InputFileStop < state_.InputFileStart && state_.InputFileStop != 0) {
        ShowError("InputFileStop must be greater than InputFileStart or 0",
                  "Last byte to copy: " + std::to_string(state_.InputFileStop) +
                      " comes before the first byte to copy, " +
                      std::to_string(state_.InputFileStart) + "; 0 copies to the end");
        EnableStartAndExit();
        return;
    }

    state_.InputFileNumber = runtime::kNoFile;
    state_.OutputFileNumber = runtime::kNoFile;
    FailedFile side = FailedFile::Input; // the file of the step under way
    const char* hint = "";
    try {
        state_.InputFileNumber = files_.NextFreeNumber();
        files_.Open(state_.InputFileNumber, state_.InputFileName, FileAccess::Read);
        if (state_.InputFileStop == 0) {
            hint = "; give the last byte to copy instead of 0";
            state_.InputFileStop = files_.Length(state_.InputFileNumber);
            hint = "";
        }
        side = FailedFile::Output;
        state_.OutputFileNumber = files_.NextFreeNumber();
        files_.Open(state_.OutputFileNumber, state_.OutputFileName, FileAccess::Write);
    } catch (const std::exception& error) {
        // Close whatever was taken, including a number whose open failed;
        // what those closes report is of no interest now.
        for (auto number : {state_.InputFileNumber, state_.OutputFileNumber}) {
            if (number != runtime::kNoFile) {
                try {
                    files_.Close(number);
                } catch (const std::exception&) { // NOLINT(bugprone-empty-catch): see above
                }
            }
        }
        ShowError("Error opening input/output file", Cause(side, AsFailure(error)) + hint);
        EnableStartAndExit();
        return;
    }

    state_.BlockSize = kBlockSize;
    state_.Progress = 0;
    controls_.SetInterval(control::kOperateTimer, kTickInterval);
    controls_.SetEnabled(control::kOperateTimer, true);
    controls_.SetEnabled(control::kAbort, true);
    state_.Operating = true;
    progress_.Show(0.0);
}

void CopyOperation::OperateTick() {
    if (!state_.Operating) {
        return;
    }
    bool complete = false;
    bool flushing = false;
    try {
        complete = CopyBlock();
        if (complete) {
            // The bytes reach stable storage before the user is told they are done.
            flushing = true;
            files_.Flush(state_.OutputFileNumber);
        } else {
            ShowProgress();
        }
    } catch (const std::exception& error) {
        const Failure failure = AsFailure(error);
        const FailedFile file = flushing ? FailedFile::Output : CopySide(failure);
        // Named before the teardown forgets the paths.
        const std::string cause = Cause(file, failure);
        // Closing a file whose flush or write just failed flushes it again
        // and usually fails the same way: that is no second fault.
        const auto teardown = Teardown(&failure, file);
        // A message of this program's own, so it is spelled right; the
        // teardown's message keeps its long-standing "occured".
        ShowError(FailureText(failure, "occurred while copying"), cause);
        if (teardown) {
            ShowTeardownError(*teardown);
        }
        return;
    }
    if (complete) {
        if (const auto teardown = Teardown()) {
            ShowTeardownError(*teardown);
        } else {
            messages_.Show("Operation complete", MessageIcon::Information,
                           runtime::ProgramTitle() + " - Information");
        }
    }
}

bool CopyOperation::CopyBlock() {
    // 64-bit sums: the completion check must not overflow at a stop of
    // 2,147,483,647, and an output position past it must be caught, not wrapped.
    const std::int64_t first = std::int64_t{state_.InputFileStart} + state_.Progress;
    const std::int64_t remaining = std::int64_t{state_.InputFileStop} - first + 1;
    if (remaining <= 0) {
        return true;
    }
    const std::int64_t count = std::min<std::int64_t>(remaining, state_.BlockSize);
    const std::int64_t outputFirst = std::int64_t{state_.OutputFileStart} + state_.Progress;
    const std::int64_t writable = std::max<std::int64_t>(0, kMaxPosition - outputFirst + 1);
    const std::int64_t now = std::min(count, writable);

    if (now > 0) {
        files_.CopyBytes(state_.InputFileNumber, static_cast<std::int32_t>(first),
                         state_.OutputFileNumber, static_cast<std::int32_t>(outputFirst),
                         static_cast<std::int32_t>(now));
    }
    if (now < count) {
        throw Failure(FailureCode::Overflow).About(FailedFile::Output);
    }
    if (count < state_.BlockSize) {
        return true;
    }
    const std::int64_t progress = std::int64_t{state_.Progress} + state_.BlockSize;
    if (progress > kMaxPosition) {
        throw Failure(FailureCode::Overflow);
    }
    state_.Progress = static_cast<std::int32_t>(progress);
    return false;
}

void CopyOperation::ShowProgress() {
    // A whole block was copied, so the range holds at least Progress bytes.
    const std::int64_t range = std::int64_t{state_.InputFileStop} - state_.InputFileStart + 1;
    progress_.Show(static_cast<double>(state_.Progress) / static_cast<double>(range));
}

void CopyOperation::TerminateOperation() {
    if (const auto failure = Teardown()) {
        ShowTeardownError(*failure);
    }
}

std::optional<CopyOperation::TeardownFailure> CopyOperation::Teardown(const Failure* reported,
                                                                      FailedFile reportedFile) {
    state_.Operating = false;
    progress_.Clear();
    std::optional<TeardownFailure> first;
    // Runs one step on `file`; its failure is kept when it is the first new
    // one, and the teardown goes on.
    const auto attempt = [&](const auto& step, FailedFile file) {
        try {
            step();
            return true;
        } catch (const std::exception& error) {
            const Failure failure = AsFailure(error);
            const bool known = file != FailedFile::Unknown && reportedFile != FailedFile::Unknown;
            const bool again = reported != nullptr &&
                               (known ? file == reportedFile : failure.Code() == reported->Code());
            if (!first && !again) {
                first = TeardownFailure{failure, Cause(file, failure)};
            }
            return false;
        }
    };
    // Stops where it fails, so that Abort stays enabled to run the teardown
    // again.
    const bool stopped = attempt(
        [this] {
            controls_.SetEnabled(control::kOperateTimer, false);
            controls_.SetInterval(control::kOperateTimer, 0);
            controls_.SetEnabled(control::kAbort, false);
        },
        FailedFile::Unknown);
    // Every file is closed whatever failed before: the output is flushed on
    // its way, and a close frees its number and releases the file's locks
    // even when it reports a failure.
    for (const auto& file : {std::pair{&state_.InputFileNumber, FailedFile::Input},
                             std::pair{&state_.OutputFileNumber, FailedFile::Output}}) {
        runtime::FileNumber* number = file.first;
        if (*number != runtime::kNoFile) {
            attempt([this, number] { files_.Close(*number); }, file.second);
            *number = runtime::kNoFile;
        }
    }
    state_.BlockSize = 0;
    state_.InputFileStart = 0;
    state_.InputFileStop = 0;
    state_.Progress = 0;
    state_.OutputFileStart = 0;
    state_.InputFileName.clear();
    state_.OutputFileName.clear();
    if (stopped) {
        attempt([this] { EnableStartAndExit(); }, FailedFile::Unknown);
    }
    return first;
}

void CopyOperation::AbortOperation() {
    state_.Operating = false;
    controls_.SetEnabled(control::kAbort, false);
    TerminateOperation();
}

} // namespace tavmar::copy
