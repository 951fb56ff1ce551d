// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace tavmar::runtime {

/// lseek(2), or a stand-in for it.
using SeekCall = off_t (*)(int fd, off_t offset, int whence);

/// A stretch of a regular file: data, or a hole as its file system reports
/// one.
struct FileRun {
    std::int64_t length = 0;
    bool hole = false;
};

/// The run of `fd` that starts at `offset`, `limit` bytes at most, found
/// with SEEK_DATA and SEEK_HOLE through `seek`. From the file's end on
/// everything is a hole. A file system that cannot tell (EINVAL or any
/// other failure) gives data up to `limit`: copying it whole is always
/// right. File systems have shipped bugs that reported fresh data as a hole,
/// so a hole is only a hint: read it before relying on it.
FileRun RunAt(SeekCall seek, int fd, std::int64_t offset, std::int64_t limit);

/// Whether all `size` bytes are zero.
bool AllZero(const std::uint8_t* bytes, std::size_t size);

} // namespace tavmar::runtime
