// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

#include "runtime/Descriptor.h"

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

/// Bytes `start` up to `end` (not included) of a base set of bytes.
struct ByteExtent {
    /// For an `end` that follows the base however far it grows.
    static constexpr std::uint64_t kToTheEnd = std::numeric_limits<std::uint64_t>::max();

    FileIdentity base;
    std::uint64_t start = 0;
    std::uint64_t end = kToTheEnd;
    /// The file system that holds the file lives on these bytes: the file
    /// shares them with an open of the bytes themselves (the device, or the
    /// image under it), but not with another file of that file system.
    bool holdsFileSystem = false;
};

/// Every place the bytes of one open file are: the file itself from its
/// start, and below it what holds them, each level followed down: a
/// partition is a range of its disk, a loop device a range of the file or
/// device behind it, a file on an overlay its upper and lower files, and a
/// file on a block device lies somewhere in that device's bytes.
using FileExtents = std::vector<ByteExtent>;

/// True when two open files reach a common byte of one base: two ranges of
/// one base overlap, and not both only hold a file system.
bool ShareBytes(const FileExtents& one, const FileExtents& other);

/// The extents of the file open as `fd` (any open, O_PATH included), which
/// fstat(2) described as `status`. What cannot be looked at (a sysfs entry,
/// a loop device's node, an overlay's layers) is left out: the result
/// always holds at least the file's own identity.
FileExtents ExtentsOf(int fd, const struct stat& status);

/// The extents of what `path` names now, found without opening it for
/// reading or writing; empty when it cannot be looked at (missing).
FileExtents ExtentsOfPath(const std::string& path);

/// A loop device bound to a file or device, and the bytes behind it.
struct BoundLoop {
    std::string path; // its node in /dev
    FileIdentity device;
    FileExtents backing; // the file or device behind it, and what holds that
};

/// The bound loop devices: /sys/block/loop* with a loop folder.
std::vector<BoundLoop> BoundLoops();

/// The whole disk that holds a partition.
struct DiskOfPartition {
    dev_t device = 0;
    std::string path; // its node in /dev
};

/// The disk that holds the block device `device` when it is a partition.
std::optional<DiskOfPartition> DiskHolding(dev_t device);

/// The regular files behind the block device `device` (a loop device, a
/// partition of one, a loop device over those), each open for reading once
/// it is known to be the file the loop device uses. A file that cannot be
/// opened or was replaced under its name is left out.
std::vector<Descriptor> OpenLoopBackingFiles(dev_t device);

} // namespace tavmar::runtime
