// SPDX-License-Identifier: GPL-3.0-or-later
#include "runtime/OpenAdmission.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "runtime/Failure.h"

namespace tavmar::runtime {

namespace {

// Characters no path given to Open may hold.
constexpr std::string_view kRefusedInPath{"\0\n\r", 3};

// A lock that another program holds; `kind` names it, so the user knows
// which tool shows the holder.
Failure LockedBy(const char* kind) {
    return Failure(FailureCode::FileLocked, std::string(DescriptionOf(FailureCode::FileLocked)) +
                                                " (another program holds " + kind + " on it)");
}

constexpr const char* kFlock = "a flock(2) lock";
constexpr const char* kRecordLock = "a record lock, fcntl(2) or lockf(3),";

// A lock call that says the file system has no locks of this kind.
bool LocksUnsupported(int error) {
    return error == EINVAL || error == ENOLCK || error == EOPNOTSUPP;
}

// flock(2) without waiting, retrying an interrupted call; returns what
// flock returns.
int FlockNow(int fd, int operation) {
    int result;
    do {
        result = ::flock(fd, operation | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Takes flock(2) and an open-file-description record lock on the whole file,
// both without waiting. flock conflicts with other flock users and with every
// other open of the file in this process; the record lock conflicts with
// programs that use fcntl or lockf locks. A file system that lacks one kind
// is left to the other.
void TakeLocks(int fd, FileAccess access) {
    if (FlockNow(fd, access == FileAccess::Read ? LOCK_SH : LOCK_EX) != 0) {
        if (errno == EWOULDBLOCK) {
            throw LockedBy(kFlock);
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
    int result;
    do {
        result = ::fcntl(fd, F_OFD_SETLK, &range);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        if (errno == EAGAIN || errno == EACCES) {
            throw LockedBy(kRecordLock);
        }
        if (!LocksUnsupported(errno)) {
            throw FailureFromErrno(errno);
        }
    }
}

// An open for writing breaks every read lease on the file, and another
// instance of this program holds one on its input: a file that another open
// has locked is refused before that, from a read-only open, which breaks
// no read lease.
void RefuseLockedBeforeWriting(const std::string& path) {
    // Only a regular file has leases; opening anything else (a FIFO, a tape)
    // could disturb it.
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return; // the open for writing finds out what is wrong
    }
    const Descriptor probe(OpenPath(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (probe.Get() < 0 || ::fstat(probe.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return;
    }
    if (FlockNow(probe.Get(), LOCK_EX) != 0 && errno == EWOULDBLOCK) {
        throw LockedBy(kFlock);
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

// Writing the file behind a bound loop device goes around whatever uses the
// device (a mounted file system is corrupted, or overwritten at unmount),
// and so does writing a second loop device over the same file. Writing
// through the loop device itself, a partition of it or a file system on
// it is what the device is for.
void RefuseLoopBacked(const FileExtents& extents) {
    for (const BoundLoop& loop : BoundLoops()) {
        const bool through = std::any_of(extents.begin(), extents.end(), [&](const ByteExtent& at) {
            return at.base == loop.device;
        });
        if (!through && ShareBytes(extents, loop.backing)) {
            throw Failure(FailureCode::DeviceInUse,
                          std::string(DescriptionOf(FailureCode::DeviceInUse)) +
                              " (the same bytes are behind loop device " + loop.path +
                              "): detach that loop device first");
        }
    }
}

// True when the block device `device` is mounted, used as swap or held by
// another device (a device mapper or RAID device over it), as far as
// /proc and sysfs show; an exclusive open by a program shows nowhere.
bool SeenInUse(dev_t device) {
    const std::string number =
        std::to_string(::major(device)) + ":" + std::to_string(::minor(device));
    std::ifstream mountinfo("/proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
        std::istringstream fields(line);
        std::string id, parent, devno;
        if (fields >> id >> parent >> devno && devno == number) {
            return true;
        }
    }
    std::ifstream swaps("/proc/swaps");
    for (std::string path; swaps >> path;
         swaps.ignore(std::numeric_limits<std::streamsize>::max(), '\n')) {
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode) &&
            status.st_rdev == device) {
            return true;
        }
    }
    std::error_code error;
    return !std::filesystem::is_empty("/sys/dev/block/" + number + "/holders", error) && !error;
}

// The refusal of an exclusive open of the block device `device` that the
// kernel found busy. The kernel also refuses a partition whose disk is
// claimed, and the user then has to free the disk, not the partition.
Failure DeviceBusy(dev_t device) {
    const std::string kind = DescriptionOf(FailureCode::DeviceInUse);
    if (const auto disk = DiskHolding(device);
        disk && !SeenInUse(device) && SeenInUse(disk->device)) {
        return Failure(FailureCode::DeviceInUse,
                       kind + " (the disk holding it, " + disk->path +
                           ", is mounted, used as swap or held by another program): unmount or "
                           "release that disk first");
    }
    return Failure(FailureCode::DeviceInUse,
                   kind + " (it or a partition on it is mounted, used as swap or held by another "
                          "program): unmount or release it first");
}

} // namespace

OpenAdmission OpenAdmission::WithoutLocks() {
    OpenAdmission admission;
    admission.locks_ = false;
    return admission;
}

void OpenAdmission::SetOwnFiles(std::vector<std::string> paths) {
    ownFiles_ = std::move(paths);
}

namespace {

// Where a write open of `path` creates a file: `path` itself, or the end of
// the chain of symbolic links that starts there. Open with O_CREAT | O_EXCL
// refuses a symbolic link even when it leads nowhere, so the target is made
// by name.
std::string CreatedBy(std::string path) {
    for (int hop = 0; hop < 40; ++hop) {
        std::array<char, PATH_MAX> target{};
        const ssize_t size = ::readlink(path.c_str(), target.data(), target.size());
        if (size < 0 || static_cast<std::size_t>(size) >= target.size()) {
            break; // not a link: the open says what else is wrong
        }
        const std::string_view link(target.data(), static_cast<std::size_t>(size));
        path = link.starts_with('/') ? std::string() : path.substr(0, path.rfind('/') + 1);
        path += link;
    }
    return path;
}

// Creates the missing file that `path` names with O_EXCL, so the file is
// this open's own, and sets `created` to its path. A file that another
// program creates first is opened as it is, without O_CREAT. Returns what
// open(2) returns.
int CreateMissing(const std::string& path, int flags, std::string& created) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        const std::string target = CreatedBy(path);
        int fd = OpenPath(target, flags | O_CREAT | O_EXCL);
        if (fd >= 0) {
            created = target;
            return fd;
        }
        if (errno != EEXIST) {
            return fd;
        }
        fd = OpenPath(path, flags);
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
    }
    errno = ELOOP;
    return -1;
}

} // namespace

AdmittedFile::~AdmittedFile() {
    struct stat open {};
    struct stat named {};
    if (fd.Get() >= 0 && !created.empty() && ::fstat(fd.Get(), &open) == 0 &&
        ::lstat(created.c_str(), &named) == 0 && named.st_dev == open.st_dev &&
        named.st_ino == open.st_ino) {
        ::unlink(created.c_str());
    }
}

AdmittedFile::AdmittedFile(AdmittedFile&& other) noexcept
    : fd(std::move(other.fd)), status(other.status), extents(std::move(other.extents)),
      created(std::exchange(other.created, {})) {}

AdmittedFile& AdmittedFile::operator=(AdmittedFile&& other) noexcept {
    // Swapped, so what this held goes (and is removed) with `other`.
    std::swap(fd, other.fd);
    std::swap(status, other.status);
    std::swap(extents, other.extents);
    std::swap(created, other.created);
    return *this;
}

AdmittedFile OpenAdmission::Open(const std::string& path, FileAccess access) const {
    // A line break or carriage return in a path comes from pasted text, never
    // from a name the user meant; opening it would create a file whose name
    // ends in an invisible character.
    if (path.empty()) {
        throw Failure(FailureCode::BadFileName);
    }
    if (const std::size_t at = path.find_first_of(kRefusedInPath); at != std::string::npos) {
        const char* what = path[at] == '\n'   ? "a line break"
                           : path[at] == '\r' ? "a carriage return"
                                              : "a NUL character";
        throw Failure(FailureCode::BadFileName,
                      std::string(DescriptionOf(FailureCode::BadFileName)) + " (it contains " +
                          what + ")");
    }
    if (access == FileAccess::Write && locks_) {
        RefuseLockedBeforeWriting(path);
    }

    // O_NONBLOCK keeps a FIFO from holding up the open; it is cleared once
    // the file is known to be something that can be read at a position.
    const int common = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd;
    bool exclusive = false;
    std::string created;
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
            fd = CreateMissing(path, common | O_WRONLY, created);
        }
    }
    if (fd < 0) {
        const int error = errno;
        struct stat status {};
        if (error == EBUSY && ::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode)) {
            throw DeviceBusy(status.st_rdev);
        }
        throw FailureFromErrno(error);
    }
    AdmittedFile file;
    file.fd = Descriptor(fd);
    file.created = std::move(created);
    const struct stat& status = file.status;
    if (::fstat(fd, &file.status) != 0) {
        throw FailureFromErrno(errno);
    }
    CheckSeekable(fd, status);
    file.extents = ExtentsOf(fd, status);
    if (access == FileAccess::Write) {
        if (S_ISBLK(status.st_mode) && !exclusive) {
            // A device put in place of the missing file between the two
            // opens: it was not claimed, so it may be in use.
            throw Failure(FailureCode::DeviceInUse);
        }
        // Compared after the open, so that an open that has just created
        // one of them through a link is caught too.
        for (const std::string& own : ownFiles_) {
            struct stat ownStatus {};
            if (::stat(own.c_str(), &ownStatus) == 0 && ownStatus.st_dev == status.st_dev &&
                ownStatus.st_ino == status.st_ino) {
                throw Failure(FailureCode::ProgramFile);
            }
        }
        RefuseLoopBacked(file.extents);
    }
    const int current = ::fcntl(fd, F_GETFL);
    if (current < 0 || ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) {
        throw FailureFromErrno(errno);
    }
    if (locks_) {
        TakeLocks(fd, access);
    }
    return file;
}

bool StillNamedBy(int fd, const std::string& path) {
    struct stat open {};
    struct stat named {};
    return ::fstat(fd, &open) == 0 && open.st_nlink >= 1 && ::stat(path.c_str(), &named) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

} // namespace tavmar::runtime
