// SPDX-License-Identifier: GPL-3.0-or-later
#include "runtime/FileExtents.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tavmar::runtime {

namespace {

namespace fs = std::filesystem;

// How many levels below the file itself are followed (a partition of a loop
// device over a file on an overlay is three); the kernel forbids cycles, so
// this only bounds the work.
constexpr int kDeepest = 8;

constexpr std::uint64_t kSector = 512; // the unit of sysfs' start and size

FileIdentity BlockDevice(dev_t device) {
    return {FileIdentity::Kind::BlockDevice, device, 0};
}

FileIdentity IdentityOf(const struct stat& status) {
    if (S_ISBLK(status.st_mode)) {
        return BlockDevice(status.st_rdev);
    }
    if (S_ISCHR(status.st_mode)) {
        return {FileIdentity::Kind::CharacterDevice, status.st_rdev, 0};
    }
    return {FileIdentity::Kind::Inode, status.st_dev, status.st_ino};
}

// The sysfs folder of a block device, by number.
std::string SysfsOf(dev_t device) {
    return "/sys/dev/block/" + std::to_string(::major(device)) + ":" +
           std::to_string(::minor(device));
}

std::optional<std::uint64_t> NumberIn(const std::string& path) {
    std::uint64_t number = 0;
    if (std::ifstream(path) >> number) {
        return number;
    }
    return std::nullopt;
}

// A device number as sysfs writes it, "major:minor".
std::optional<dev_t> DeviceIn(const std::string& path) {
    unsigned int major = 0;
    unsigned int minor = 0;
    char colon = 0;
    if (std::ifstream(path) >> major >> colon >> minor && colon == ':') {
        return ::makedev(major, minor);
    }
    return std::nullopt;
}

// The node of a block device in /dev, by the name its uevent gives.
std::string NodeOf(dev_t device) {
    std::ifstream uevent(SysfsOf(device) + "/uevent");
    for (std::string line; std::getline(uevent, line);) {
        if (line.starts_with("DEVNAME=")) {
            return "/dev/" + line.substr(8);
        }
    }
    return {};
}

// A range shifted by `offset` into what lies below it and cut at `limit`
// bytes from there (0: no limit).
std::pair<std::uint64_t, std::uint64_t> Shifted(std::uint64_t start, std::uint64_t end,
                                                std::uint64_t offset, std::uint64_t limit) {
    const std::uint64_t room = limit == 0 ? ByteExtent::kToTheEnd : limit;
    const auto below = [&](std::uint64_t at) {
        const std::uint64_t cut = std::min(at, room);
        return cut > ByteExtent::kToTheEnd - offset ? ByteExtent::kToTheEnd : cut + offset;
    };
    return {below(start), below(end)};
}

// What a bound loop device reads and writes: the file or device behind it,
// where in it, and the path sysfs shows for it.
struct LoopBacking {
    FileIdentity backing;
    std::uint64_t offset = 0;
    std::uint64_t sizeLimit = 0; // 0: to the end
    std::string path;
};

// The backing of the loop device `device`, or nothing when it is none or
// is not bound. LOOP_GET_STATUS64 knows the file itself, renamed or not;
// where the node cannot be opened (not root), sysfs tells the same by path.
std::optional<LoopBacking> LoopOf(dev_t device) {
    const std::string sysfs = SysfsOf(device) + "/loop/";
    LoopBacking loop;
    if (!std::getline(std::ifstream(sysfs + "backing_file"), loop.path)) {
        return std::nullopt;
    }
    const Descriptor node(OpenPath(NodeOf(device), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    loop_info64 info{};
    if (node.Get() >= 0 && ::fstat(node.Get(), &status) == 0 && S_ISBLK(status.st_mode) &&
        status.st_rdev == device && ::ioctl(node.Get(), LOOP_GET_STATUS64, &info) == 0) {
        loop.backing = info.lo_rdevice != 0
                           ? BlockDevice(static_cast<dev_t>(info.lo_rdevice))
                           : FileIdentity{FileIdentity::Kind::Inode, info.lo_device, info.lo_inode};
        loop.offset = info.lo_offset;
        loop.sizeLimit = info.lo_sizelimit;
        return loop;
    }
    if (::stat(loop.path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    loop.backing = IdentityOf(status);
    loop.offset = NumberIn(sysfs + "offset").value_or(0);
    loop.sizeLimit = NumberIn(sysfs + "sizelimit").value_or(0);
    return loop;
}

// Undoes mountinfo's octal escapes (\040 for a space, \054 for a comma).
std::string MountinfoText(const std::string& field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const std::string digits = field.substr(i + 1, 3);
        if (field[i] == '\\' && digits.size() == 3 &&
            digits.find_first_not_of("01234567") == std::string::npos) {
            text += static_cast<char>(std::stoi(digits, nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// Undoes an overlay's backslash escapes in a folder list, split at the
// colons it did not escape when `list` is a lower one ("::", before
// data-only layers, gives no empty path).
std::vector<std::string> OverlayFolders(const std::string& list, bool lower) {
    std::vector<std::string> folders(1);
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] == '\\' && i + 1 < list.size()) {
            folders.back() += list[++i];
        } else if (lower && list[i] == ':') {
            if (!folders.back().empty()) {
                folders.emplace_back();
            }
        } else {
            folders.back() += list[i];
        }
    }
    return folders;
}

// The files in the layers of the overlay `device` that may hold the bytes
// of the file it shows at `path` (absolute, as /proc/self/fd gives it): the
// same path below the upper folder and below each lower folder.
std::vector<std::string> OverlayLayerFiles(dev_t device, const std::string& path) {
    const std::string number =
        std::to_string(::major(device)) + ":" + std::to_string(::minor(device));
    std::vector<std::string> files;
    std::size_t longest = 0;
    std::ifstream mountinfo("/proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
        // id parent major:minor root mount-point options [tags] - type source super-options
        std::istringstream fields(line);
        std::string id, parent, devno, root, point;
        fields >> id >> parent >> devno >> root >> point;
        const std::size_t dash = line.find(" - ");
        std::istringstream tail(dash == std::string::npos ? "" : line.substr(dash + 3));
        std::string type, source, options;
        tail >> type >> source >> options;
        root = MountinfoText(root);
        point = MountinfoText(point);
        if (devno != number || type != "overlay" || !path.starts_with(point) ||
            (point != "/" && path.size() > point.size() && path[point.size()] != '/') ||
            point.size() < longest) {
            continue;
        }
        longest = point.size();
        const std::string below =
            (root == "/" ? "" : root) + (point == "/" ? path : path.substr(point.size()));
        files.clear();
        std::istringstream list(options);
        for (std::string option; std::getline(list, option, ',');) {
            option = MountinfoText(option);
            const bool upper = option.starts_with("upperdir=");
            if (!upper && !option.starts_with("lowerdir=")) {
                continue;
            }
            for (const std::string& folder : OverlayFolders(option.substr(9), !upper)) {
                if (folder.starts_with("/")) { // a relative one names nothing here
                    files.push_back(folder + below);
                }
            }
        }
    }
    return files;
}

// The path a descriptor was opened under, as the kernel gives it.
std::string PathOf(int fd) {
    std::error_code error;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
}

class Resolver {
  public:
    FileExtents extents;

    // The bytes `start` to `end` of the block device `device`, and below.
    void Block(dev_t device, std::uint64_t start, std::uint64_t end, bool holds, int depth) {
        extents.push_back({BlockDevice(device), start, end, holds});
        if (depth == 0) {
            return;
        }
        const std::string sysfs = SysfsOf(device);
        std::error_code error;
        if (fs::exists(sysfs + "/partition", error)) {
            // A partition: the folder above it is its disk's.
            const auto disk = DeviceIn(sysfs + "/../dev");
            const auto first = NumberIn(sysfs + "/start");
            const auto size = NumberIn(sysfs + "/size");
            if (disk && first && size) {
                const auto [from, to] = Shifted(start, end, *first * kSector, *size * kSector);
                Block(*disk, from, to, holds, depth - 1);
            }
        } else if (const auto loop = LoopOf(device)) {
            const auto [from, to] = Shifted(start, end, loop->offset, loop->sizeLimit);
            if (loop->backing.kind == FileIdentity::Kind::BlockDevice) {
                Block(static_cast<dev_t>(loop->backing.device), from, to, holds, depth - 1);
            } else {
                File(loop->backing, loop->path, from, to, holds, depth - 1);
            }
        }
    }

    // The bytes `start` to `end` of the file `identity`, reached at `path`.
    void File(const FileIdentity& identity, const std::string& path, std::uint64_t start,
              std::uint64_t end, bool holds, int depth) {
        extents.push_back({identity, start, end, holds});
        if (depth == 0) {
            return;
        }
        const auto device = static_cast<dev_t>(identity.device);
        if (::major(device) != 0) {
            // Where in the device the file lies is the file system's business.
            Block(device, 0, ByteExtent::kToTheEnd, true, depth - 1);
            return;
        }
        for (const std::string& layer : OverlayLayerFiles(device, path)) {
            struct stat status {};
            if (::stat(layer.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
                File(IdentityOf(status), layer, start, end, holds, depth - 1);
            }
        }
    }
};

} // namespace

bool ShareBytes(const FileExtents& one, const FileExtents& other) {
    return std::any_of(one.begin(), one.end(), [&](const ByteExtent& a) {
        return std::any_of(other.begin(), other.end(), [&](const ByteExtent& b) {
            return a.base == b.base && !(a.holdsFileSystem && b.holdsFileSystem) &&
                   a.start < b.end && b.start < a.end;
        });
    });
}

FileExtents ExtentsOf(int fd, const struct stat& status) {
    Resolver resolver;
    const FileIdentity identity = IdentityOf(status);
    if (identity.kind == FileIdentity::Kind::BlockDevice) {
        resolver.Block(status.st_rdev, 0, ByteExtent::kToTheEnd, false, kDeepest);
    } else if (identity.kind == FileIdentity::Kind::Inode) {
        resolver.File(identity, PathOf(fd), 0, ByteExtent::kToTheEnd, false, kDeepest);
    } else {
        resolver.extents.push_back({identity});
    }
    return std::move(resolver.extents);
}

FileExtents ExtentsOfPath(const std::string& path) {
    // O_PATH opens nothing for I/O: it breaks no lease and wakes no device.
    const Descriptor fd(OpenPath(path, O_PATH | O_CLOEXEC));
    struct stat status {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &status) != 0) {
        return {};
    }
    return ExtentsOf(fd.Get(), status);
}

std::vector<BoundLoop> BoundLoops() {
    std::vector<BoundLoop> bound;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/block", error)) {
        const std::string name = entry.path().filename().string();
        const auto device = DeviceIn(entry.path() / "dev");
        if (!name.starts_with("loop") || !device) {
            continue;
        }
        Resolver resolver;
        resolver.Block(*device, 0, ByteExtent::kToTheEnd, false, kDeepest);
        FileExtents backing(resolver.extents.begin() + 1, resolver.extents.end());
        if (backing.empty()) {
            continue; // not bound
        }
        bound.push_back({"/dev/" + name, BlockDevice(*device), std::move(backing)});
    }
    return bound;
}

std::optional<DiskOfPartition> DiskHolding(dev_t device) {
    const std::string sysfs = SysfsOf(device);
    std::error_code error;
    if (!fs::exists(sysfs + "/partition", error)) {
        return std::nullopt;
    }
    const auto disk = DeviceIn(sysfs + "/../dev");
    if (!disk) {
        return std::nullopt;
    }
    return DiskOfPartition{*disk, NodeOf(*disk)};
}

std::vector<Descriptor> OpenLoopBackingFiles(dev_t device) {
    std::vector<Descriptor> files;
    for (int depth = 0; depth < kDeepest; ++depth) {
        if (const auto disk = DiskHolding(device)) {
            device = disk->device;
            continue;
        }
        const auto loop = LoopOf(device);
        if (!loop) {
            break;
        }
        if (loop->backing.kind == FileIdentity::Kind::BlockDevice) {
            device = static_cast<dev_t>(loop->backing.device);
            continue;
        }
        // The path is where the file was when bound: only the file the
        // loop device uses is kept, not what may have taken its name.
        Descriptor file(OpenPath(loop->path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat status {};
        if (file.Get() >= 0 && ::fstat(file.Get(), &status) == 0 &&
            IdentityOf(status) == loop->backing) {
            files.push_back(std::move(file));
        }
        break;
    }
    return files;
}

} // namespace tavmar::runtime
