// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <stdexcept>
#include <string>

namespace tavmar::runtime {

/// The program's own failure numbers. They are stable across systems and
/// releases: a message box shows the number, so users may quote it.
enum class FailureCode : int {
    Overflow = 6,
    BadFileNumber = 52,
    FileNotFound = 53,
    FileAlreadyOpen = 55,
    DeviceError = 57,
    DiskFull = 61,
    InputEndsBeforeStop = 62,
    BadFilePosition = 63,
    BadFileName = 64,
    TooManyFiles = 67,
    PermissionDenied = 70,
    FileLocked = 71,
    NotSeekable = 72,
    IsDirectory = 73,
    FileTooLarge = 74,
    InputChanged = 76,
    SameFile = 77,
    SettingsError = 78,
    ProgramFile = 79,
    DeviceInUse = 80,
    ReadOnlyFileSystem = 81,
    OutputMoved = 82,
    NoLength = 83,
    SystemError = 99,
};

/// The plain-words description that belongs to a failure number.
const char* DescriptionOf(FailureCode code);

/// Which of a copy's two files a failure concerned, where the layer that
/// raised it knows: the file table's copy tells a failed read from a failed
/// write, whatever the failure's number.
enum class FailedFile { Unknown, Input, Output };

/// A failure raised by a runtime service: a number and a description.
/// Actions catch it where they arm a handler.
class Failure : public std::runtime_error {
  public:
    /// A failure with the table's description for `code`.
    explicit Failure(FailureCode code);
    /// A failure with its own description (for example with a path or the
    /// system's wording added).
    Failure(FailureCode code, const std::string& description);

    FailureCode Code() const { return code_; }
    int Number() const { return static_cast<int>(code_); }
    std::string Description() const { return what(); }
    /// The file the failure concerned; Unknown unless it was marked with About.
    FailedFile File() const { return file_; }

    /// The same failure, marked as concerning `file`.
    Failure About(FailedFile file) const {
        Failure marked = *this;
        marked.file_ = file;
        return marked;
    }

  private:
    FailureCode code_;
    FailedFile file_ = FailedFile::Unknown;
};

/// Maps an errno value from a file operation to the program's failure.
Failure FailureFromErrno(int error);

} // namespace tavmar::runtime
