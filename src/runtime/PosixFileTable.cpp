// SPDX-License-Identifier: GPL-3.0-or-later
#include "runtime/PosixFileTable.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/Failure.h"

namespace tavmar::runtime {

namespace {

constexpr std::int64_t kLargestPosition = std::numeric_limits<std::int32_t>::max();

// Characters no path given to Open may hold.
constexpr std::string_view kRefusedInPath{"\0\n\r", 3};

// The copy buffer, used where copy_file_range(2) cannot be.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

// Closes a descriptor on the way out of a failed Open.
class DescriptorGuard {
  public:
    explicit DescriptorGuard(int fd) : fd_(fd) {}
    ~DescriptorGuard() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    DescriptorGuard(const DescriptorGuard&) = delete;
    DescriptorGuard& operator=(const DescriptorGuard&) = delete;
    int Release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// A lock call that says the file system has no locks of this kind.
bool LocksUnsupported(int error) {
    return error == EINVAL || error == ENOLCK || error == EOPNOTSUPP;
}

// Takes flock(2) and an open-file-description record lock on the whole file,
// both without waiting. flock conflicts with other flock users and with every
// other open of the file in this process; the record lock conflicts with
// programs that use fcntl or lockf locks. A file system that lacks one kind
// is left to the other.
void TakeLocks(int fd, FileAccess access) {
    const int operation = (access == FileAccess::Read ? LOCK_SH : LOCK_EX) | LOCK_NB;
    int result;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        if (errno == EWOULDBLOCK) {
            throw Failure(FailureCode::FileLocked);
        }
        if (!LocksUnsupported(errno)) {
            throw FailureFromErrno(errno);
        }
    }

    struct flock range {};
    range.l_type = access == FileAccess::Read ? F_RDLCK : F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 0; // to the end, however far the file grows
    do {
        result = ::fcntl(fd, F_OFD_SETLK, &range);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        if (errno == EAGAIN || errno == EACCES) {
            throw Failure(FailureCode::FileLocked);
        }
        if (!LocksUnsupported(errno)) {
            throw FailureFromErrno(errno);
        }
    }
}

// Accepts what can be read or written at a position: regular files, block
// devices, and character devices that seek (such as /dev/full).
void CheckSeekable(int fd, const struct stat& status) {
    if (S_ISDIR(status.st_mode)) {
        throw Failure(FailureCode::IsDirectory);
    }
    if (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) {
        return;
    }
    if (S_ISCHR(status.st_mode) && ::lseek(fd, 0, SEEK_CUR) >= 0) {
        return;
    }
    throw Failure(FailureCode::NotSeekable);
}

// open(2) that retries an interrupted call; returns what open returns.
int OpenPath(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// pread(2) that retries an interrupted call; returns what pread returns.
ssize_t ReadAt(int fd, void* buffer, std::size_t size, std::int64_t offset) {
    ssize_t got;
    do {
        got = ::pread(fd, buffer, size, offset);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Writes all `size` bytes at `offset`, looping on short writes. A write
// that takes nothing is a full disk.
void WriteAllAt(int fd, const std::uint8_t* bytes, std::size_t size, std::int64_t offset) {
    while (size > 0) {
        const ssize_t put = ::pwrite(fd, bytes, size, offset);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw FailureFromErrno(errno);
        }
        if (put == 0) {
            throw Failure(FailureCode::DiskFull);
        }
        bytes += put;
        size -= static_cast<std::size_t>(put);
        offset += put;
    }
}

// fdatasync(2) for a file open for writing: 0 when the data is on stable
// storage or the device has nothing to sync, the errno otherwise.
int SyncError(int fd) {
    int result;
    do {
        result = ::fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    if (result == 0 || errno == EINVAL || errno == EROFS) {
        return 0;
    }
    return errno;
}

} // namespace

PosixFileTable::PosixFileTable() = default;

PosixFileTable::~PosixFileTable() {
    // Qualified: a destructor calls this class's own CloseAll in any case.
    PosixFileTable::CloseAll();
}

void PosixFileTable::SetOwnFiles(std::vector<std::string> paths) {
    ownFiles_ = std::move(paths);
}

PosixFileTable::OpenFile& PosixFileTable::Entry(FileNumber number) {
    if (number < 1 || number > kMaxFileNumber || files_[number].fd < 0) {
        throw Failure(FailureCode::BadFileNumber);
    }
    return files_[number];
}

PosixFileTable::OpenFile& PosixFileTable::Entry(FileNumber number, FileAccess access) {
    OpenFile& file = Entry(number);
    if (file.access != access) {
        throw Failure(FailureCode::BadFileNumber);
    }
    return file;
}

FileNumber PosixFileTable::NextFreeNumber() {
    for (FileNumber n = 1; n <= kMaxFileNumber; ++n) {
        if (files_[n].fd < 0) {
            return n;
        }
    }
    throw Failure(FailureCode::TooManyFiles);
}

void PosixFileTable::Open(FileNumber number, const std::string& path, FileAccess access) {
    if (number < 1 || number > kMaxFileNumber) {
        throw Failure(FailureCode::BadFileNumber);
    }
    if (files_[number].fd >= 0) {
        throw Failure(FailureCode::FileAlreadyOpen);
    }
    // A line break or carriage return in a path comes from pasted text, never
    // from a name the user meant; opening it would create a file whose name
    // ends in an invisible character.
    if (path.empty() || path.find_first_of(kRefusedInPath) != std::string::npos) {
        throw Failure(FailureCode::BadFileName);
    }

    // O_NONBLOCK keeps a FIFO from holding up the open; it is cleared once
    // the file is known to be something that can be read at a position.
    const int common = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd;
    bool exclusive = false;
    if (access == FileAccess::Read) {
        fd = OpenPath(path, common | O_RDONLY);
    } else {
        // A block device is written only through an exclusive open, which
        // Linux refuses with EBUSY while the device is mounted, used as swap
        // or claimed by another program; on any other file O_EXCL without
        // O_CREAT changes nothing. With O_CREAT it would refuse every
        // existing file, so a missing one is created by a second open.
        fd = OpenPath(path, common | O_WRONLY | O_EXCL);
        exclusive = fd >= 0;
        if (fd < 0 && errno == ENOENT) {
            fd = OpenPath(path, common | O_WRONLY | O_CREAT);
        }
    }
    if (fd < 0) {
        throw FailureFromErrno(errno);
    }
    DescriptorGuard guard(fd);

    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        throw FailureFromErrno(errno);
    }
    CheckSeekable(fd, status);
    if (access == FileAccess::Write && S_ISBLK(status.st_mode) && !exclusive) {
        // A device put in place of the missing file between the two opens:
        // it was not claimed, so it may be in use.
        throw Failure(FailureCode::DeviceInUse);
    }
    if (access == FileAccess::Write) {
        // Compared after the open, so that an open that has just created
        // one of them through a link is caught too.
        for (const std::string& own : ownFiles_) {
            struct stat ownStatus {};
            if (::stat(own.c_str(), &ownStatus) == 0 && ownStatus.st_dev == status.st_dev &&
                ownStatus.st_ino == status.st_ino) {
                throw Failure(FailureCode::ProgramFile);
            }
        }
    }
    const int current = ::fcntl(fd, F_GETFL);
    if (current < 0 || ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) {
        throw FailureFromErrno(errno);
    }

    TakeLocks(fd, access);

    // Locks normally stop a second open of the same file already; this also
    // covers file systems without them.
    for (const OpenFile& other : files_) {
        if (other.fd >= 0 && other.device == status.st_dev && other.inode == status.st_ino &&
            (access == FileAccess::Write || other.access == FileAccess::Write)) {
            throw Failure(FailureCode::SameFile);
        }
    }

    OpenFile& file = files_[number];
    file.access = access;
    file.regular = S_ISREG(status.st_mode);
    file.blockDevice = S_ISBLK(status.st_mode);
    file.device = status.st_dev;
    file.inode = status.st_ino;
    file.sizeAtOpen = status.st_size;
    file.mtimeSeconds = status.st_mtim.tv_sec;
    file.mtimeNanoseconds = status.st_mtim.tv_nsec;
    file.fd = guard.Release();
}

std::int32_t PosixFileTable::Length(FileNumber number) {
    const OpenFile& file = Entry(number);
    std::int64_t length;
    if (file.blockDevice) {
        const off_t end = ::lseek(file.fd, 0, SEEK_END);
        if (end < 0) {
            throw FailureFromErrno(errno);
        }
        length = end;
    } else {
        struct stat status {};
        if (::fstat(file.fd, &status) != 0) {
            throw FailureFromErrno(errno);
        }
        length = status.st_size;
    }
    if (length > kLargestPosition) {
        throw Failure(FailureCode::FileTooLarge);
    }
    return static_cast<std::int32_t>(length);
}

std::uint8_t PosixFileTable::ReadByte(FileNumber number, std::int32_t position) {
    const OpenFile& file = Entry(number, FileAccess::Read);
    if (position <= 0) {
        throw Failure(FailureCode::BadFilePosition);
    }
    std::uint8_t value = 0;
    const ssize_t got = ReadAt(file.fd, &value, 1, std::int64_t{position} - 1);
    if (got < 0) {
        throw FailureFromErrno(errno);
    }
    if (got == 0) {
        throw Failure(FailureCode::InputEndsBeforeStop);
    }
    return value;
}

void PosixFileTable::WriteByte(FileNumber number, std::int32_t position, std::uint8_t value) {
    const OpenFile& file = Entry(number, FileAccess::Write);
    if (position <= 0) {
        throw Failure(FailureCode::BadFilePosition);
    }
    WriteAllAt(file.fd, &value, 1, std::int64_t{position} - 1);
}

void PosixFileTable::CopyBytes(FileNumber input, std::int32_t inputPosition, FileNumber output,
                               std::int32_t outputPosition, std::int32_t count) {
    if (count <= 0) {
        return;
    }
    // The checks come in the order the byte loop would meet them.
    const OpenFile& in = Entry(input, FileAccess::Read);
    if (inputPosition <= 0) {
        throw Failure(FailureCode::BadFilePosition);
    }
    struct stat status {};
    if (::fstat(in.fd, &status) != 0) {
        throw FailureFromErrno(errno);
    }
    if (status.st_size != in.sizeAtOpen || status.st_mtim.tv_sec != in.mtimeSeconds ||
        status.st_mtim.tv_nsec != in.mtimeNanoseconds) {
        throw Failure(FailureCode::InputChanged);
    }
    const std::int64_t inOffset = std::int64_t{inputPosition} - 1;
    const bool outputOpen = output >= 1 && output <= kMaxFileNumber && files_[output].fd >= 0 &&
                            files_[output].access == FileAccess::Write;
    if (!outputOpen || outputPosition <= 0) {
        // The byte loop reads the first byte before it meets a bad output.
        std::uint8_t first = 0;
        const ssize_t got = ReadAt(in.fd, &first, 1, inOffset);
        if (got < 0) {
            throw FailureFromErrno(errno);
        }
        if (got == 0) {
            throw Failure(FailureCode::InputEndsBeforeStop);
        }
        throw Failure(outputOpen ? FailureCode::BadFilePosition : FailureCode::BadFileNumber);
    }
    const OpenFile& out = files_[output];
    if (inOffset + count > kLargestPosition ||
        std::int64_t{outputPosition} - 1 + count > kLargestPosition) {
        throw Failure(FailureCode::Overflow);
    }

    std::int64_t inAt = inOffset;
    std::int64_t outAt = std::int64_t{outputPosition} - 1;
    std::int64_t remaining = count;
    if (in.regular && out.regular && !copyFileRangeMissing_) {
        while (remaining > 0) {
            loff_t from = inAt;
            loff_t to = outAt;
            const ssize_t moved = ::copy_file_range(in.fd, &from, out.fd, &to,
                                                    static_cast<std::size_t>(remaining), 0);
            if (moved > 0) {
                inAt += moved;
                outAt += moved;
                remaining -= moved;
                continue;
            }
            if (moved < 0 && errno == EINTR) {
                continue;
            }
            if (moved < 0 && errno == ENOSYS) {
                copyFileRangeMissing_ = true;
            }
            // The end of the input, a pair of files the kernel will not copy
            // between, or a real failure: the buffered copy below meets the
            // same condition byte-exactly and reports it.
            break;
        }
    }
    CopyWithBuffer(in.fd, inAt, out.fd, outAt, remaining);
}

void PosixFileTable::CopyWithBuffer(int in, std::int64_t inOffset, int out, std::int64_t outOffset,
                                    std::int64_t remaining) {
    if (remaining <= 0) {
        return;
    }
    if (!buffer_) {
        buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kPieceBytes);
    }
    while (remaining > 0) {
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(remaining, static_cast<std::int64_t>(kPieceBytes)));
        const ssize_t got = ReadAt(in, buffer_.get(), want, inOffset);
        if (got < 0) {
            throw FailureFromErrno(errno);
        }
        if (got == 0) {
            // Everything read so far is already written.
            throw Failure(FailureCode::InputEndsBeforeStop);
        }
        WriteAllAt(out, buffer_.get(), static_cast<std::size_t>(got), outOffset);
        inOffset += got;
        outOffset += got;
        remaining -= got;
    }
}

void PosixFileTable::Flush(FileNumber number) {
    const OpenFile& file = Entry(number);
    if (file.access == FileAccess::Write) {
        if (const int error = SyncError(file.fd); error != 0) {
            throw FailureFromErrno(error);
        }
    }
}

void PosixFileTable::Close(FileNumber number) {
    const OpenFile file = Entry(number);
    files_[number] = OpenFile{};

    const int flushError = file.access == FileAccess::Write ? SyncError(file.fd) : 0;
    // Linux releases the descriptor even when close reports EINTR, and the
    // data has been flushed already, so that is not a failure.
    int closeError = 0;
    if (::close(file.fd) != 0 && errno != EINTR) {
        closeError = errno;
    }
    if (flushError != 0) {
        throw FailureFromErrno(flushError);
    }
    if (closeError != 0) {
        throw FailureFromErrno(closeError);
    }
}

void PosixFileTable::CloseAll() {
    for (OpenFile& file : files_) {
        if (file.fd >= 0) {
            ::close(file.fd);
            file = OpenFile{};
        }
    }
}

} // namespace tavmar::runtime
