// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

#include <sys/stat.h>

#include "runtime/Descriptor.h"
#include "runtime/FileExtents.h"
#include "runtime/FileTable.h"

namespace tavmar::runtime {

/// A file the admission let through: its descriptor (blocking, locked),
/// what fstat(2) said of it, and where its bytes are. A file that the
/// open created is removed again when this goes without its descriptor
/// having been taken (a refusal after the admission), as long as the path it
/// was created under still names it.
struct AdmittedFile {
    Descriptor fd;
    struct stat status {};
    FileExtents extents;
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

    /// Whether opens take locks, which then refuse a second open of one file.
    bool TakesLocks() const { return locks_; }

    /// Names the program's own files, which are never opened for writing
    /// under any name; the paths are looked at on every open, so they may
    /// name files that do not exist yet.
    void SetOwnFiles(std::vector<std::string> paths);

    /// Opens `path` for `access`; a write open creates a missing file (mode
    /// 0666 less the umask, with O_EXCL, so the file is known to be this
    /// open's own; through a dangling symbolic link, the file it leads to)
    /// and never truncates. Fails with BadFileName on an empty path or one
    /// holding a NUL, a line break or a carriage return;
    /// FileNotFound when reading a missing file; IsDirectory; NotSeekable on
    /// a FIFO, a socket or a device that cannot be used at a position;
    /// DeviceInUse when writing a block device that is mounted, used as swap
    /// or claimed (a block device is written only through an exclusive open),
    /// or a file that shares bytes with what is behind a bound loop device it
    /// is not reached through (the image behind it); ProgramFile when writing
    /// one of the program's own files; FileLocked when another open holds a
    /// conflicting flock(2) or record lock, which both kinds are then taken
    /// to keep out (shared for reading, exclusive for writing); the system's
    /// failure otherwise. The description of FileLocked names the kind of
    /// lock, that of DeviceInUse what uses the device and what frees it,
    /// naming the disk when it is the disk holding a partition that is used,
    /// and that of BadFileName which character is in the way. A file created
    /// by a write open that then fails is removed again (see AdmittedFile).
    AdmittedFile Open(const std::string& path, FileAccess access) const;

  private:
    std::vector<std::string> ownFiles_;
    bool locks_ = true;
};

/// True when `path` still names the file open as `fd`: same device and
/// inode, and at least one link left. False when it was removed, renamed or
/// replaced since the open, or cannot be looked at.
bool StillNamedBy(int fd, const std::string& path);

} // namespace tavmar::runtime
