// SPDX-License-Identifier: GPL-3.0-or-later
#include "runtime/InputWatch.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <string>

#include <fcntl.h>

#include "runtime/Failure.h"
#include "runtime/FileExtents.h"

namespace tavmar::runtime {

namespace {

// A lease break is announced with SIGIO, whose default action ends the
// process. The table asks for breaks itself around every block, so it has
// no use for the signal: SIGIO is ignored, which also keeps it from
// interrupting a system call, unless the program already handles it.
bool SigioIsHarmless() {
    struct sigaction current {};
    if (::sigaction(SIGIO, nullptr, &current) != 0) {
        return false;
    }
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) {
        return true;
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return ::sigaction(SIGIO, &ignore, nullptr) == 0;
}

// True when a bound loop device reads and writes the file `status`
// describes: the kernel holds such a file open for writing.
bool BehindBoundLoop(const struct stat& status) {
    const FileIdentity file{FileIdentity::Kind::Inode, status.st_dev, status.st_ino};
    const auto loops = BoundLoops();
    return std::any_of(loops.begin(), loops.end(), [&](const BoundLoop& loop) {
        return std::any_of(loop.backing.begin(), loop.backing.end(), [&](const ByteExtent& extent) {
            return extent.base == file && !extent.holdsFileSystem;
        });
    });
}

} // namespace

bool InputWatch::Look::operator==(const Look& other) const {
    return size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
           changed.tv_nsec == other.changed.tv_nsec;
}

InputWatch::Look InputWatch::LookAt(const struct stat& status) {
    return {status.st_size, status.st_mtim, status.st_ctim};
}

InputWatch InputWatch::Start(int fd, const struct stat& status) {
    InputWatch watch;
    if (S_ISREG(status.st_mode) && SigioIsHarmless()) {
        watch.leased_ = ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
        // A program that had the file open for writing before, or mapped it
        // shared and writable, may write without a trace in size or times:
        // only a lease would keep it out. Other refusals (not the owner, a
        // file system without leases) leave the times to watch.
        if (!watch.leased_ && errno == EAGAIN && !BehindBoundLoop(status)) {
            throw Failure(FailureCode::FileLocked,
                          std::string(DescriptionOf(FailureCode::FileLocked)) +
                              " (another program has it open for writing)");
        }
    }
    if (S_ISBLK(status.st_mode)) {
        watch.backing_ = OpenLoopBackingFiles(status.st_rdev);
    }
    // Looked at once the lease holds, so no write slips in between.
    struct stat now {};
    if (::fstat(fd, &now) != 0) {
        throw FailureFromErrno(errno);
    }
    watch.start_ = LookAt(now);
    for (const Descriptor& file : watch.backing_) {
        if (::fstat(file.Get(), &now) != 0) {
            throw FailureFromErrno(errno);
        }
        watch.backingStart_.push_back(LookAt(now));
    }
    return watch;
}

void InputWatch::Check(int fd) {
    if (leased_ && ::fcntl(fd, F_GETLEASE) != F_RDLCK) {
        // A writer waits for the lease. It is let go now, and the copy stops
        // here, so what was copied is whole and old.
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        leased_ = false;
        throw Failure(FailureCode::InputChanged);
    }
    struct stat now {};
    if (::fstat(fd, &now) != 0) {
        throw FailureFromErrno(errno);
    }
    if (LookAt(now) != start_) {
        throw Failure(FailureCode::InputChanged);
    }
    for (std::size_t i = 0; i < backing_.size(); ++i) {
        if (::fstat(backing_[i].Get(), &now) != 0) {
            throw FailureFromErrno(errno);
        }
        if (LookAt(now) != backingStart_[i]) {
            throw Failure(FailureCode::InputChanged);
        }
    }
}

} // namespace tavmar::runtime
