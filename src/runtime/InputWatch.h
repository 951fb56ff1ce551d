// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include <sys/stat.h>

#include "runtime/Descriptor.h"

namespace tavmar::runtime {

/// Keeps another program's writes to an open input out, or at least notices
/// them. Where the kernel grants it (a regular file, this program owning it
/// or holding CAP_LEASE, no one having it open for writing), a read lease
/// makes another program's open for writing or truncate wait until the lease
/// is released. Without one, size, modification time and change time are
/// compared with what they were at Start; a writer can set back the
/// modification time but not the change time. Neither sees a write through
/// a shared mapping made before Start, nor a write to a device through
/// another of its nodes; a loop device's writes reach the file behind it,
/// whose size and times are watched as well.
class InputWatch {
  public:
    InputWatch() = default;

    /// Takes a read lease on the input `fd` (whose status is `status`) where
    /// it is granted, then records the times and size, and those of the
    /// files behind a loop device. Fails with FileLocked when the lease is
    /// refused because another open has the file for writing (a writer the
    /// watch could miss), unless that open is a bound loop device's, whose
    /// writes change the times; with the system's failure when the file
    /// cannot be looked at.
    static InputWatch Start(int fd, const struct stat& status);

    /// Fails with InputChanged when a lease break is pending (the lease is
    /// released at once, so the writer goes on) or the size or a time of the
    /// input or of a file behind it differs from Start; with the system's
    /// failure when the input cannot be looked at.
    void Check(int fd);

    /// Whether the read lease is still held.
    bool Leased() const { return leased_; }

  private:
    /// What fstat(2) says of a file that a writer changes.
    struct Look {
        std::int64_t size = 0;
        timespec modified{};
        timespec changed{};
        bool operator==(const Look& other) const;
    };
    static Look LookAt(const struct stat& status);

    bool leased_ = false;
    Look start_;
    std::vector<Descriptor> backing_; // the files behind a loop device
    std::vector<Look> backingStart_;
};

} // namespace tavmar::runtime
