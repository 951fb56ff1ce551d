// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

#include "runtime/DataRuns.h"
#include "runtime/Descriptor.h"
#include "runtime/FileExtents.h"
#include "runtime/FileTable.h"
#include "runtime/InputWatch.h"
#include "runtime/OpenAdmission.h"

namespace tavmar::runtime {

/// The file table on Linux: numbers 1 to 255 map to file descriptors.
///
/// Nothing here ever waits for another program: what may be opened, and the
/// locks that keep other opens out, are decided without waiting by
/// OpenAdmission. Each open file holds both a flock(2) lock and an
/// open-file-description record lock on the whole file, so the lock holds
/// against every other open of the same file, this table's own included, and
/// against other programs using either kind of lock. Read access takes shared
/// locks, write access exclusive ones; an input also holds a read lease where
/// the kernel grants one (see InputWatch).
///
/// Not thread-safe: one thread owns a table.
class PosixFileTable : public FileTable {
  public:
    /// pwrite(2), or a stand-in for it.
    using WriteAtCall = ssize_t (*)(int fd, const void* bytes, std::size_t size, off_t offset);

    PosixFileTable();
    /// A table that admits opens with `admission`, writes with `writeAt` and
    /// looks for holes with `seek`, for tests of what locks and the kernel
    /// otherwise hide: an admission without locks leaves two opens of one
    /// file to the table's own comparison, a `writeAt` that writes less than
    /// asked does what the kernel does only near a size limit or a full disk,
    /// and a `seek` that reports data as holes does what file systems with
    /// such a bug did.
    PosixFileTable(OpenAdmission admission, WriteAtCall writeAt, SeekCall seek = ::lseek);
    /// Closes every open file, dropping what the closes report.
    ~PosixFileTable() override;

    PosixFileTable(const PosixFileTable&) = delete;
    PosixFileTable& operator=(const PosixFileTable&) = delete;

    /// Names the files this program keeps for itself (its settings file),
    /// replacing any named before. A write open of one of them, under any
    /// name (a link, a hard link, another spelling of the path), fails with
    /// ProgramFile, even one that creates it (the new empty file is removed
    /// again); reading them stays allowed. The paths are looked at on every
    /// open, so they may name files that do not exist yet.
    void SetOwnFiles(std::vector<std::string> paths);

    /// The lowest number from 1 to 255 not in use; fails with TooManyFiles
    /// when all are in use.
    FileNumber NextFreeNumber() override;

    /// Opens `path` under `number`. Fails with BadFileNumber outside 1 to
    /// 255, FileAlreadyOpen on a number in use, with what
    /// OpenAdmission::Open refuses (a bad name, a missing input, a directory
    /// or FIFO, a device in use, the image behind a bound loop device, one
    /// of the program's own files written, a lock held by another open, whose
    /// description says so when that open is this table's own), with
    /// FileLocked when an input is open for writing elsewhere (see
    /// InputWatch::Start), and with SameFile when any of its bytes are
    /// already open in this table under another number and either open
    /// writes: a link, another spelling of the path, another node of the
    /// same device, a disk and its partitions, an image and the loop device
    /// over it, a device and a file on the file system it holds, or a file
    /// on an overlay and the layer file below it do not get around this. A
    /// write open is refused from what the path names before it is opened,
    /// since the open would break this table's own lease on the bytes; where
    /// its lock would refuse it, the description says this program has the
    /// file open already. Write access creates a missing file with
    /// mode 0666 less the umask and never truncates; a file created by a
    /// write open that then fails is removed again, as long as its path
    /// still names it. The number stays free after any failure.
    void Open(FileNumber number, const std::string& path, FileAccess access) override;

    /// Length of the open file: its size for a regular file, its capacity for
    /// a block device. Fails with FileTooLarge above 2,147,483,647, and with
    /// NoLength for a character device, which has none (/dev/zero never ends).
    std::int32_t Length(FileNumber number) override;

    /// The byte at 1-based `position` of a file open for reading. Fails with
    /// BadFileNumber on a number not open for reading, BadFilePosition on a
    /// position of 0 or below, InputEndsBeforeStop past the end.
    std::uint8_t ReadByte(FileNumber number, std::int32_t position) override;

    /// Writes `value` at 1-based `position` of a file open for writing; a
    /// position past the end grows the file and the gap reads as zeros.
    /// Fails with BadFileNumber on a number not open for writing,
    /// BadFilePosition on a position of 0 or below, DiskFull, FileTooLarge
    /// (the process's file size limit) or DeviceError from the system.
    void WriteByte(FileNumber number, std::int32_t position, std::uint8_t value) override;

    /// Same result as the byte loop the interface describes, including the
    /// bytes already written when it stops part way, done with
    /// copy_file_range(2) between regular files and with a single reused
    /// buffer of at most 1 MiB otherwise. Between regular files, holes stay
    /// holes: a stretch that the input's file system reports as a hole and
    /// that reads as zeros is not written where the output has a hole that
    /// reads as zeros too or ends before it; the output is then grown with
    /// ftruncate(2) to the length the byte loop gives, also when a failure
    /// stops the copy. So a copy past the output's end needs no disk space
    /// for those zeros, where the byte loop may have failed with DiskFull.
    /// Before any I/O: BadFilePosition on
    /// a position of 0 or below, Overflow when the last position of either
    /// range would leave the signed 32-bit range. The input is checked with
    /// InputWatch before the first byte and again after the last one (or the
    /// failure that stopped the copy): InputChanged when another program
    /// wrote to it despite the lock. With a read lease the writer waited, so
    /// the bytes copied are all old; without one, they may mix old and new.
    /// A regular output is checked with StillNamedBy at the same two points:
    /// OutputMoved, and not a byte more, once its path names another file or
    /// none. A count of 0 or below does nothing.
    void CopyBytes(FileNumber input, std::int32_t inputPosition, FileNumber output,
                   std::int32_t outputPosition, std::int32_t count) override;

    /// Forces what was written to a file open for writing onto stable
    /// storage with fdatasync(2), then checks that the path it was opened
    /// under still names it, and when Open created the file, syncs the
    /// folder that holds its name (SyncFolder). Does nothing for a file open
    /// for reading; a character device that cannot sync (such as /dev/full)
    /// is not flushed. Fails with BadFileNumber when nothing is open under
    /// the number, with the system's failure (DeviceError, DiskFull,
    /// ReadOnlyFileSystem, ...) when the flush or the folder's sync fails, and
    /// with OutputMoved when the file was removed, or renamed or replaced by
    /// another program since the open.
    void Flush(FileNumber number) override;

    /// Flushes a file open for writing with fdatasync(2) as Flush does
    /// (without looking at its path), then closes it, which releases its
    /// locks and lease. Raises the failed flush or close; the number is free
    /// afterwards in any case. Fails with BadFileNumber when nothing is open
    /// under the number.
    void Close(FileNumber number) override;

    /// Closes every open file without flushing and without failing; this
    /// runs on the way out, where nothing could be done about a failure.
    void CloseAll() override;

  private:
    struct OpenFile {
        int fd = -1;
        FileAccess access = FileAccess::Read;
        bool regular = false;
        bool blockDevice = false;
        bool characterDevice = false;
        std::string path;      // as given to Open
        std::string createdIn; // the folder of the file's name, when Open created it
        FileExtents extents;
        InputWatch watch; // an input's lease and look at Open
    };

    OpenFile& Entry(FileNumber number);
    OpenFile& Entry(FileNumber number, FileAccess access);
    /// An open file that shares bytes with `extents` where it or an open
    /// with `access` writes; nullptr when there is none.
    const OpenFile* SharingBytes(const FileExtents& extents, FileAccess access) const;
    /// CopyBytes' copy once every check passed: run by run between regular
    /// files, otherwise with the buffer.
    void CopyRange(const OpenFile& in, std::int64_t inAt, const OpenFile& out, std::int64_t outAt,
                   std::int64_t remaining);
    /// Copies a data run between regular files with copy_file_range(2), and
    /// what that leaves with the buffer.
    void CopyData(int in, std::int64_t inAt, int out, std::int64_t outAt, std::int64_t remaining);
    /// Copies the start of a run the input reports as a hole, one buffer at
    /// most, and returns how many bytes it copied. What does not read as
    /// zeros is written as data (growing `outLength` with it); zeros go to
    /// PlaceZeros.
    std::int64_t CopyHole(int in, std::int64_t inAt, int out, std::int64_t outAt,
                          std::int64_t remaining, std::int64_t& outLength, Descriptor& outReader);
    /// Puts `size` zeros, held at the start of the buffer, at `outAt` of an
    /// output `outLength` bytes long: nothing past its end or where it has a
    /// hole that reads as zeros (read through `outReader`, opened here when
    /// first needed), written elsewhere.
    void PlaceZeros(int out, std::int64_t outAt, std::int64_t size, std::int64_t outLength,
                    Descriptor& outReader);
    /// Grows a regular output to `length` without writing (the new bytes are
    /// a hole), never shortening it: the length the byte loop gives where
    /// the zeros it would have written were skipped. Where the process's file
    /// size limit lies below `length`, the byte loop stops there: grows the
    /// output to the limit and fails with FileTooLarge. Writes the zeros
    /// where the file system cannot grow a file otherwise.
    void ExtendTo(int fd, std::int64_t length);
    void CopyWithBuffer(int in, std::int64_t inOffset, int out, std::int64_t outOffset,
                        std::int64_t remaining);

    std::array<OpenFile, kMaxFileNumber + 1> files_{};
    OpenAdmission admission_;
    WriteAtCall writeAt_;
    SeekCall seek_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    bool copyFileRangeMissing_ = false;
};

} // namespace tavmar::runtime
