// SPDX-License-Identifier: GPL-3.0-or-later
#include "runtime/FolderSync.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "runtime/Descriptor.h"

namespace tavmar::runtime {

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int SyncFolder(const std::string& folder) {
    int fd;
    do {
        fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno;
    }
    const Descriptor owned(fd);
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    // EINVAL: a file system whose folders have no fsync, so nothing to sync.
    return result == 0 || errno == EINVAL ? 0 : errno;
}

} // namespace tavmar::runtime
