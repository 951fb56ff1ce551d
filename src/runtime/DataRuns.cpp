// SPDX-License-Identifier: GPL-3.0-or-later
#include "runtime/DataRuns.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace tavmar::runtime {

FileRun RunAt(SeekCall seek, int fd, std::int64_t offset, std::int64_t limit) {
    const off_t data = seek(fd, offset, SEEK_DATA);
    if (data < 0) {
        // ENXIO: no data from the offset to the end, or the offset is past it.
        return {limit, errno == ENXIO};
    }
    if (data > offset) {
        return {std::min<std::int64_t>(data - offset, limit), true};
    }
    const off_t hole = seek(fd, offset, SEEK_HOLE);
    if (hole <= offset) {
        return {limit, false};
    }
    return {std::min<std::int64_t>(hole - offset, limit), false};
}

bool AllZero(const std::uint8_t* bytes, std::size_t size) {
    return size == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, size - 1) == 0);
}

} // namespace tavmar::runtime
