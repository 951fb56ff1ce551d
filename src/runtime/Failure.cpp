// SPDX-License-Identifier: GPL-3.0-or-later
#include "runtime/Failure.h"

#include <cerrno>
#include <cstring>

namespace tavmar::runtime {

const char* DescriptionOf(FailureCode code) {
    switch (code) {
    case FailureCode::Overflow:
        return "Position overflow";
    case FailureCode::BadFileNumber:
        return "Bad file number";
    case FailureCode::FileNotFound:
        return "File not found";
    case FailureCode::FileAlreadyOpen:
        return "File number already in use";
    case FailureCode::DeviceError:
        return "Device error";
    case FailureCode::DiskFull:
        return "Disk full";
    case FailureCode::InputEndsBeforeStop:
        return "Input ends before the stop position";
    case FailureCode::BadFilePosition:
        return "Bad file position";
    case FailureCode::BadFileName:
        return "Bad file name or path";
    case FailureCode::TooManyFiles:
        return "Too many files";
    case FailureCode::PermissionDenied:
        return "Permission denied";
    case FailureCode::FileLocked:
        return "File is locked";
    case FailureCode::NotSeekable:
        return "File is not seekable";
    case FailureCode::IsDirectory:
        return "Path is a directory";
    case FailureCode::FileTooLarge:
        return "File too large";
    case FailureCode::InputChanged:
        return "Input file was changed by another program";
    case FailureCode::SameFile:
        return "Input and output are the same file";
    case FailureCode::SettingsError:
        return "Settings could not be read or written";
    case FailureCode::ProgramFile:
        return "File is one of this program's own files";
    case FailureCode::DeviceInUse:
        return "Device is in use";
    case FailureCode::ReadOnlyFileSystem:
        return "Read-only file system";
    case FailureCode::OutputMoved:
        return "Output file was moved or deleted by another program";
    case FailureCode::NoLength:
        return "Character device has no length";
    case FailureCode::SystemError:
        return "System error";
    }
    return "System error";
}

Failure::Failure(FailureCode code) : std::runtime_error(DescriptionOf(code)), code_(code) {}

Failure::Failure(FailureCode code, const std::string& description)
    : std::runtime_error(description), code_(code) {}

Failure FailureFromErrno(int error) {
    switch (error) {
    case ENOENT:
        return Failure(FailureCode::FileNotFound);
    case EACCES:
    case EPERM:
        return Failure(FailureCode::PermissionDenied);
    case EROFS:
        return Failure(FailureCode::ReadOnlyFileSystem);
    case EWOULDBLOCK:
        return Failure(FailureCode::FileLocked);
    case ENOSPC:
    case EDQUOT:
        return Failure(FailureCode::DiskFull);
    case EFBIG:
        return Failure(FailureCode::FileTooLarge);
    case EISDIR:
        return Failure(FailureCode::IsDirectory);
    case ESPIPE:
    case ENXIO:
        return Failure(FailureCode::NotSeekable);
    case ENAMETOOLONG:
    case ENOTDIR:
    case ELOOP:
    case EINVAL:
        return Failure(FailureCode::BadFileName);
    case EMFILE:
    case ENFILE:
        return Failure(FailureCode::TooManyFiles);
    case EIO:
    case ENODEV:
    case ENOMEDIUM:
        return Failure(FailureCode::DeviceError);
    case EBADF:
        return Failure(FailureCode::BadFileNumber);
    case EBUSY:
        return Failure(FailureCode::DeviceInUse);
    default:
        return Failure(FailureCode::SystemError,
                       std::string(DescriptionOf(FailureCode::SystemError)) + ": " +
                           std::strerror(error));
    }
}

} // namespace tavmar::runtime
