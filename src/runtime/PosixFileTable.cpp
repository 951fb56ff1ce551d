// SPDX-License-Identifier: GPL-3.0-or-later
#include "runtime/PosixFileTable.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/Failure.h"
#include "runtime/FolderSync.h"

namespace tavmar::runtime {

namespace {

constexpr std::int64_t kLargestPosition = std::numeric_limits<std::int32_t>::max();

// The copy buffer, used where copy_file_range(2) cannot be.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

// pread(2) that retries an interrupted call; returns the bytes read (0 at
// the end of the file) and raises a failed read as the input's failure.
ssize_t ReadAt(int fd, void* buffer, std::size_t size, std::int64_t offset) {
    ssize_t got;
    do {
        got = ::pread(fd, buffer, size, offset);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        throw FailureFromErrno(errno).About(FailedFile::Input);
    }
    return got;
}

// Writes all `size` bytes at `offset`, looping on short writes. A write
// that takes nothing is a full disk. Failures are the output's.
void WriteAllAt(PosixFileTable::WriteAtCall writeAt, int fd, const std::uint8_t* bytes,
                std::size_t size, std::int64_t offset) {
    while (size > 0) {
        const ssize_t put = writeAt(fd, bytes, size, offset);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw FailureFromErrno(errno).About(FailedFile::Output);
        }
        if (put == 0) {
            throw Failure(FailureCode::DiskFull).About(FailedFile::Output);
        }
        bytes += put;
        size -= static_cast<std::size_t>(put);
        offset += put;
    }
}

// fdatasync(2) for a file open for writing: 0 when the data is on stable
// storage, the errno otherwise. A character device (such as /dev/full) may
// have nothing to sync and says so with EINVAL or EROFS; on a regular file
// or a block device every failure counts: ext4 that went read-only after an
// error reports EROFS, and the unwritten bytes are lost.
int SyncError(int fd, bool characterDevice) {
    int result;
    do {
        result = ::fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    if (result == 0 || (characterDevice && (errno == EINVAL || errno == EROFS))) {
        return 0;
    }
    return errno;
}

// The failure for what SyncError returned. EINVAL from a file that must be
// synced means its file system cannot sync it, not a bad path.
Failure SyncFailure(int error) {
    return error == EINVAL ? Failure(FailureCode::DeviceError) : FailureFromErrno(error);
}

// A refused open of a file that this table has open under another number.
Failure OpenHereAlready() {
    return Failure(FailureCode::FileLocked,
                   std::string(DescriptionOf(FailureCode::FileLocked)) +
                       " (this program has it open already: input and output are the same file)");
}

} // namespace

PosixFileTable::PosixFileTable() : PosixFileTable(OpenAdmission(), ::pwrite) {}

PosixFileTable::PosixFileTable(OpenAdmission admission, WriteAtCall writeAt, SeekCall seek)
    : admission_(std::move(admission)), writeAt_(writeAt), seek_(seek) {}

PosixFileTable::~PosixFileTable() {
    // Qualified: a destructor calls this class's own CloseAll in any case.
    PosixFileTable::CloseAll();
}

void PosixFileTable::SetOwnFiles(std::vector<std::string> paths) {
    admission_.SetOwnFiles(std::move(paths));
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
    // Opening a file for writing breaks every read lease on it, this table's
    // own included (an overlay's file and the upper file below it are one),
    // so a write open of bytes open here already is refused beforehand.
    if (access == FileAccess::Write) {
        if (const OpenFile* other = SharingBytes(ExtentsOfPath(path), access)) {
            // The other open's lock would stop an open of its own inode.
            throw admission_.TakesLocks() && StillNamedBy(other->fd, path)
                ? OpenHereAlready()
                : Failure(FailureCode::SameFile);
        }
    }
    AdmittedFile admitted;
    try {
        admitted = admission_.Open(path, access);
    } catch (const Failure& failure) {
        // The lock in the way may be this table's own, on the same file
        // opened under another number: that is no other program's doing.
        if (failure.Code() == FailureCode::FileLocked &&
            SharingBytes(ExtentsOfPath(path), access) != nullptr) {
            throw OpenHereAlready();
        }
        throw;
    }

    // Locks normally stop a second open of the same file already; this also
    // covers file systems without them, other names of the same bytes, and
    // a file that took the path's place since it was looked at.
    if (SharingBytes(admitted.extents, access) != nullptr) {
        throw Failure(FailureCode::SameFile);
    }
    const struct stat& status = admitted.status;
    InputWatch watch;
    if (access == FileAccess::Read) {
        watch = InputWatch::Start(admitted.fd.Get(), status);
    }

    OpenFile& file = files_[number];
    file.access = access;
    file.regular = S_ISREG(status.st_mode);
    file.blockDevice = S_ISBLK(status.st_mode);
    file.characterDevice = S_ISCHR(status.st_mode);
    file.path = path;
    file.extents = std::move(admitted.extents);
    file.createdIn = admitted.created.empty() ? std::string() : FolderOf(admitted.created);
    file.watch = std::move(watch);
    file.fd = admitted.fd.Release();
}

const PosixFileTable::OpenFile* PosixFileTable::SharingBytes(const FileExtents& extents,
                                                             FileAccess access) const {
    for (const OpenFile& other : files_) {
        if (other.fd >= 0 && (access == FileAccess::Write || other.access == FileAccess::Write) &&
            ShareBytes(other.extents, extents)) {
            return &other;
        }
    }
    return nullptr;
}

std::int32_t PosixFileTable::Length(FileNumber number) {
    const OpenFile& file = Entry(number);
    if (file.characterDevice) {
        throw Failure(FailureCode::NoLength);
    }
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
    if (ReadAt(file.fd, &value, 1, std::int64_t{position} - 1) == 0) {
        throw Failure(FailureCode::InputEndsBeforeStop);
    }
    return value;
}

void PosixFileTable::WriteByte(FileNumber number, std::int32_t position, std::uint8_t value) {
    const OpenFile& file = Entry(number, FileAccess::Write);
    if (position <= 0) {
        throw Failure(FailureCode::BadFilePosition);
    }
    WriteAllAt(writeAt_, file.fd, &value, 1, std::int64_t{position} - 1);
}

void PosixFileTable::CopyBytes(FileNumber input, std::int32_t inputPosition, FileNumber output,
                               std::int32_t outputPosition, std::int32_t count) {
    if (count <= 0) {
        return;
    }
    // The checks come in the order the byte loop would meet them.
    OpenFile& in = Entry(input, FileAccess::Read);
    if (inputPosition <= 0) {
        throw Failure(FailureCode::BadFilePosition);
    }
    in.watch.Check(in.fd);
    const std::int64_t inOffset = std::int64_t{inputPosition} - 1;
    const bool outputOpen = output >= 1 && output <= kMaxFileNumber && files_[output].fd >= 0 &&
                            files_[output].access == FileAccess::Write;
    if (!outputOpen || outputPosition <= 0) {
        // The byte loop reads the first byte before it meets a bad output.
        std::uint8_t first = 0;
        if (ReadAt(in.fd, &first, 1, inOffset) == 0) {
            throw Failure(FailureCode::InputEndsBeforeStop);
        }
        throw Failure(outputOpen ? FailureCode::BadFilePosition : FailureCode::BadFileNumber);
    }
    const OpenFile& out = files_[output];
    if (inOffset + count > kLargestPosition ||
        std::int64_t{outputPosition} - 1 + count > kLargestPosition) {
        throw Failure(FailureCode::Overflow);
    }
    // No byte goes into a file that has lost its name: the user would look
    // for it under the path, which now names another file or none.
    const auto checkOutputName = [&out] {
        if (out.regular && !StillNamedBy(out.fd, out.path)) {
            // A path that cannot be looked at (its file system shut down,
            // say) is that failure, not a move.
            struct stat named {};
            if (::stat(out.path.c_str(), &named) != 0 && errno != ENOENT && errno != ENOTDIR) {
                throw FailureFromErrno(errno).About(FailedFile::Output);
            }
            throw Failure(FailureCode::OutputMoved).About(FailedFile::Output);
        }
    };
    checkOutputName();

    try {
        CopyRange(in, inOffset, out, std::int64_t{outputPosition} - 1, count);
    } catch (const Failure& failure) {
        // An input cut short by another program is that, not its end.
        if (failure.Code() == FailureCode::InputEndsBeforeStop) {
            in.watch.Check(in.fd);
        }
        throw;
    }
    // Also after the copy: a change during the last block is caught before
    // the copy is reported complete.
    in.watch.Check(in.fd);
    checkOutputName();
}

void PosixFileTable::CopyRange(const OpenFile& in, std::int64_t inAt, const OpenFile& out,
                               std::int64_t outAt, std::int64_t remaining) {
    if (!in.regular || !out.regular) {
        CopyWithBuffer(in.fd, inAt, out.fd, outAt, remaining);
        return;
    }
    struct stat status {};
    if (::fstat(out.fd, &status) != 0) {
        throw FailureFromErrno(errno).About(FailedFile::Output);
    }
    std::int64_t outLength = status.st_size; // as every write so far left it
    const std::int64_t outStart = outAt;
    Descriptor outReader;
    try {
        while (remaining > 0) {
            const FileRun run = RunAt(seek_, in.fd, inAt, remaining);
            std::int64_t copied = run.length;
            if (run.hole) {
                copied = CopyHole(in.fd, inAt, out.fd, outAt, copied, outLength, outReader);
            } else {
                CopyData(in.fd, inAt, out.fd, outAt, copied);
                outLength = std::max(outLength, outAt + copied);
            }
            inAt += copied;
            outAt += copied;
            remaining -= copied;
        }
    } catch (const Failure&) {
        // The byte loop had written every byte before the failing one, the
        // skipped zeros included (and nothing when the first one failed).
        // What the failing run wrote grew the output by itself.
        if (outAt > outStart) {
            ExtendTo(out.fd, outAt);
        }
        throw;
    }
    if (outLength < outAt) {
        ExtendTo(out.fd, outAt);
    }
}

void PosixFileTable::CopyData(int in, std::int64_t inAt, int out, std::int64_t outAt,
                              std::int64_t remaining) {
    while (remaining > 0 && !copyFileRangeMissing_) {
        loff_t from = inAt;
        loff_t to = outAt;
        const ssize_t moved =
            ::copy_file_range(in, &from, out, &to, static_cast<std::size_t>(remaining), 0);
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
    CopyWithBuffer(in, inAt, out, outAt, remaining);
}

std::int64_t PosixFileTable::CopyHole(int in, std::int64_t inAt, int out, std::int64_t outAt,
                                      std::int64_t remaining, std::int64_t& outLength,
                                      Descriptor& outReader) {
    if (!buffer_) {
        buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kPieceBytes);
    }
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(remaining, static_cast<std::int64_t>(kPieceBytes)));
    // A real hole costs no disk I/O to read.
    const ssize_t got = ReadAt(in, buffer_.get(), want, inAt);
    if (got == 0) {
        throw Failure(FailureCode::InputEndsBeforeStop);
    }
    if (AllZero(buffer_.get(), static_cast<std::size_t>(got))) {
        PlaceZeros(out, outAt, got, outLength, outReader);
    } else {
        WriteAllAt(writeAt_, out, buffer_.get(), static_cast<std::size_t>(got), outAt);
        outLength = std::max(outLength, outAt + got);
    }
    return got;
}

void PosixFileTable::PlaceZeros(int out, std::int64_t outAt, std::int64_t size,
                                std::int64_t outLength, Descriptor& outReader) {
    const std::int64_t end = std::min(outAt + size, outLength);
    while (outAt < end) {
        const FileRun run = RunAt(seek_, out, outAt, end - outAt);
        const auto length = static_cast<std::size_t>(run.length);
        if (run.hole && outReader.Get() < 0) {
            // The table opens outputs write-only; this reads the same file.
            outReader = Descriptor(
                ::open(("/proc/self/fd/" + std::to_string(out)).c_str(), O_RDONLY | O_CLOEXEC));
        }
        // A hole that cannot be read, or reads as anything but zeros, is
        // written like data.
        if (!run.hole || ::pread(outReader.Get(), buffer_.get(), length, outAt) != run.length ||
            !AllZero(buffer_.get(), length)) {
            std::memset(buffer_.get(), 0, length);
            WriteAllAt(writeAt_, out, buffer_.get(), length, outAt);
        }
        outAt += run.length;
    }
}

void PosixFileTable::ExtendTo(int fd, std::int64_t length) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        throw FailureFromErrno(errno).About(FailedFile::Output);
    }
    if (status.st_size >= length) {
        return;
    }
    int result;
    do {
        result = ::ftruncate(fd, length);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return;
    }
    const int error = errno;
    if (error == EFBIG) {
        rlimit limit{};
        if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            std::cmp_greater(length, limit.rlim_cur) &&
            std::cmp_greater(limit.rlim_cur, status.st_size)) {
            (void)::ftruncate(fd, static_cast<off_t>(limit.rlim_cur));
        }
        throw FailureFromErrno(error).About(FailedFile::Output);
    }
    // A file system that cannot grow a file without writing (some FUSE
    // ones) gets the zeros written, as the byte loop writes them.
    if (!buffer_) {
        buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kPieceBytes);
    }
    std::memset(buffer_.get(), 0, kPieceBytes);
    for (std::int64_t at = status.st_size; at < length; at += kPieceBytes) {
        WriteAllAt(writeAt_, fd, buffer_.get(),
                   static_cast<std::size_t>(std::min<std::int64_t>(length - at, kPieceBytes)), at);
    }
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
        if (got == 0) {
            // Everything read so far is already written.
            throw Failure(FailureCode::InputEndsBeforeStop);
        }
        WriteAllAt(writeAt_, out, buffer_.get(), static_cast<std::size_t>(got), outOffset);
        inOffset += got;
        outOffset += got;
        remaining -= got;
    }
}

void PosixFileTable::Flush(FileNumber number) {
    const OpenFile& file = Entry(number);
    if (file.access != FileAccess::Write) {
        return;
    }
    if (const int error = SyncError(file.fd, file.characterDevice); error != 0) {
        throw SyncFailure(error);
    }
    // The bytes are safe, but only in the file: the user looks for them
    // under the path, which another program may have removed or taken over.
    if (!StillNamedBy(file.fd, file.path)) {
        throw Failure(FailureCode::OutputMoved);
    }
    // A new file's name is on stable storage only once its folder is.
    if (!file.createdIn.empty()) {
        if (const int error = SyncFolder(file.createdIn); error != 0) {
            throw FailureFromErrno(error);
        }
    }
}

void PosixFileTable::Close(FileNumber number) {
    const OpenFile file = std::move(Entry(number));
    files_[number] = OpenFile{};

    const int flushError =
        file.access == FileAccess::Write ? SyncError(file.fd, file.characterDevice) : 0;
    // Linux releases the descriptor even when close reports EINTR, and the
    // data has been flushed already, so that is not a failure.
    int closeError = 0;
    if (::close(file.fd) != 0 && errno != EINTR) {
        closeError = errno;
    }
    if (flushError != 0) {
        throw SyncFailure(flushError);
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
