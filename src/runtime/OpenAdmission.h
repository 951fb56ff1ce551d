// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "runtime/Descriptor.h"
#include "runtime/FileTable.h"

namespace tavmar::runtime {

/// One set of bytes as the system knows it, whatever name reaches it: the
/// device number of a block or character device (every node of a device
/// stands for the same bytes), or device and inode of anything else.
struct FileIdentity {
    enum class Kind { Inode, BlockDevice, CharacterDevice };
    Kind kind = Kind::Inode;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

/// Every identity of one open file: its own, and for a loop device also the
/// file behind it, so an image and the loop device over it are one file.
using FileIdentities = std::vector<FileIdentity>;

/// True when two open files reach the same bytes under any identity.
bool ShareBytes(const FileIdentities& one, const FileIdentities& other);

/// The identity of what `path` names now, loop devices aside; nothing when
/// it cannot be looked at.
std::optional<FileIdentity> IdentityOfPath(const std::string& path);

/// A file the admission let through: its descriptor (blocking, locked),
/// what fstat(2) said of it, and its identities. A file that the open
/// created is removed again when this goes without its descriptor having
/// been taken (a refusal after the admission), as long as the path it was
/// created under still names it.
struct AdmittedFile {
    Descriptor fd;
    struct stat status {};
    FileIdentities identities;
    /// The path of the file the open created (for an open through a
    /// dangling symbolic link, the link's target); empty when it made none.
    std::string created;

    AdmittedFile() = default;
    ~AdmittedFile();
    AdmittedFile(AdmittedFile&& other) noexcept;
    AdmittedFile& operator=(AdmittedFile&& other) noexcept;
};

/// Decides whether a path may be opened, and opens it when it may. Never
/// waits for another program: the open does not block (a FIFO cannot hang
/// it) and locks are taken without waiting.
class OpenAdmission {
  public:
    /// An admission that takes no locks and looks for none, as on a file
    /// system without them; the default one takes them.
    static OpenAdmission WithoutLocks();

    /// Names the program's own files, which are never opened for writing
    /// under any name; the paths are looked at on every open, so they may
    /// name files that do not exist yet.
    void SetOwnFiles(std::vector<std::string> paths);

    /// Opens `path` for `access`; a write open creates a missing file (mode
    /// 0666 less the umask, with O_EXCL, so the file is known to be this
    /// open's own; through a dangling symbolic link, the file it leads to)
    /// and never truncates. Fails with BadFileName on an
    /// empty path or one holding a NUL, a line break or a carriage return;
    /// FileNotFound when reading a missing file; IsDirectory; NotSeekable on
    /// a FIFO, a socket or a device that cannot be used at a position;
    /// DeviceInUse when writing a block device that is mounted, used as swap
    /// or claimed (a block device is written only through an exclusive open),
    /// or a file that shares its bytes with a bound loop device other than
    /// itself (the image behind it); ProgramFile when writing one of the
    /// program's own files; FileLocked when another open holds a conflicting
    /// flock(2) or record lock, which both kinds are then taken to keep out
    /// (shared for reading, exclusive for writing); the system's failure
    /// otherwise. The description of FileLocked names the kind of lock, and
    /// that of DeviceInUse what uses the device and what frees it, and that
    /// of BadFileName which character is in the way. A file created by a
    /// write open that then fails is removed again (see AdmittedFile).
    AdmittedFile Open(const std::string& path, FileAccess access) const;

  private:
    std::vector<std::string> ownFiles_;
    bool locks_ = true;
};

/// Keeps another program's writes to an open input out, or at least notices
/// them. Where the kernel grants it (a regular file, this program owning it
/// or holding CAP_LEASE, no one having it open for writing), a read lease
/// makes another program's open for writing or truncate wait until the lease
/// is released. Without one, size, modification time and change time are
/// compared with what they were at Start; a writer can set back the
/// modification time but not the change time.
class InputWatch {
  public:
    /// Takes a read lease on the input `fd` (whose status is `status`) where
    /// it is granted, then records the times and size. Fails with the
    /// system's failure when the file cannot be looked at.
    static InputWatch Start(int fd, const struct stat& status);

    /// Fails with InputChanged when a lease break is pending (the lease is
    /// released at once, so the writer goes on) or the size or a time of the
    /// input differs from Start; with the system's failure when the file
    /// cannot be looked at.
    void Check(int fd);

    /// Whether the read lease is still held.
    bool Leased() const { return leased_; }

  private:
    bool leased_ = false;
    std::int64_t size_ = 0;
    timespec modified_{};
    timespec changed_{};
};

/// True when `path` still names the file open as `fd`: same device and
/// inode, and at least one link left. False when it was removed, renamed or
/// replaced since the open, or cannot be looked at.
bool StillNamedBy(int fd, const std::string& path);

} // namespace tavmar::runtime
