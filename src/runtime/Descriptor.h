// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cerrno>
#include <string>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace tavmar::runtime {

/// Owns one file descriptor and closes it when it goes, unless it was
/// released or closed before.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return fd_; }
    /// Hands the descriptor over; this object then owns nothing.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    /// Closes it now; false when close(2) reports a failure.
    bool Close() {
        const int fd = Release();
        return fd >= 0 && ::close(fd) == 0;
    }

  private:
    int fd_;
};

/// open(2) that retries an interrupted call; returns what open returns. A
/// file it creates gets mode 0666 less the umask.
inline int OpenPath(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace tavmar::runtime
