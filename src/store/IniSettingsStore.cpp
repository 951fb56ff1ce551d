// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/IniSettingsStore.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QSysInfo>

#include "runtime/Descriptor.h"
#include "runtime/Failure.h"
#include "runtime/FolderSync.h"
#include "store/IniText.h"

namespace tavmar::store {

using runtime::Descriptor;
using runtime::Failure;
using runtime::FailureCode;

namespace {

/// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config.
std::string UserConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    return (QDir::homePath() + QStringLiteral("/.config")).toStdString();
}

/// A lock file that no process holds (its flock went with a writer that
/// died) is cleared once it is this old; a younger one may belong to a
/// writer that has made it and not yet taken the flock.
constexpr std::chrono::milliseconds kStaleLockAge{1000};

/// How often a save looks at a lock held by another writer.
constexpr std::chrono::milliseconds kLockPoll{10};

std::string LockFileFor(const std::string& path) {
    return path + ".lock";
}

/// Where a save puts the file: `path`, or the file a symbolic link there
/// leads to, so that the link (a dotfile manager's, say) stays a link.
std::string FinalTarget(const std::string& path) {
    namespace fs = std::filesystem;
    fs::path target = path;
    for (int depth = 0; depth < 40; ++depth) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(target, error))) {
            break;
        }
        const fs::path link = fs::read_symlink(target, error);
        if (error) {
            break;
        }
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    return target.string();
}

/// The temporary file a save writes `target` through.
std::string TemporaryFileFor(const std::string& target) {
    return target + ".tmp";
}

/// open(2) that never waits: a FIFO opens at once (and is then seen for what
/// it is), where a plain open would wait for the other end for good.
Descriptor OpenWithoutWaiting(const std::string& path, int flags, mode_t mode = 0666) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    return Descriptor(fd);
}

std::string SystemWords() {
    return std::strerror(errno);
}

/// What stands at a path, and the contents when it is a regular file.
struct FileContents {
    enum class Kind { Missing, Regular, NotRegular, Unreadable };
    Kind kind = Kind::Missing;
    std::string bytes;
    mode_t mode = 0;
    int error = 0; // errno, when it is Unreadable
};

// Looked at before it is opened, so that a device is not even opened (a
// tape rewinds on close); the open itself cannot wait either, should a FIFO
// be put there in between.
FileContents ReadRegularFile(const std::string& path) {
    using Kind = FileContents::Kind;
    const auto failed = [](int error) {
        return error == ENOENT ? FileContents{} : FileContents{Kind::Unreadable, {}, 0, error};
    };
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return failed(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return {Kind::NotRegular, {}, 0, 0};
    }
    const Descriptor fd = OpenWithoutWaiting(path, O_RDONLY);
    if (fd.Get() < 0) {
        return failed(errno);
    }
    if (::fstat(fd.Get(), &info) != 0) {
        return failed(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return {Kind::NotRegular, {}, 0, 0};
    }
    FileContents file{Kind::Regular, {}, info.st_mode & 07777, 0};
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd.Get(), buffer, sizeof buffer);
        if (count == 0) {
            return file;
        }
        if (count < 0 && errno != EINTR) {
            return failed(errno);
        }
        if (count > 0) {
            file.bytes.append(buffer, static_cast<std::size_t>(count));
        }
    }
}

/// What QLockFile writes into the lock file it holds, a line each: the
/// process id, the name of the running program, the host name, the
/// machine's id and the boot's id. A release that saves through QSettings
/// reads them while it waits: a holder whose process has gone (or whose id
/// now runs another program) is stale at once, a live one is waited for. An
/// empty file would hold it up until the file is 30 seconds old.
std::string LockFileContents() {
    std::error_code error;
    std::string program = std::filesystem::read_symlink("/proc/self/exe", error).string();
    if (constexpr std::string_view kDeleted = " (deleted)"; program.ends_with(kDeleted)) {
        program.resize(program.size() - kDeleted.size());
    }
    return std::to_string(::getpid()) + "\n" + program.substr(program.rfind('/') + 1) + "\n" +
           QSysInfo::machineHostName().toStdString() + "\n" +
           QSysInfo::machineUniqueId().toStdString() + "\n" +
           QSysInfo::bootUniqueId().toStdString() + "\n";
}

/// Writes all of `bytes` to `fd`; false, with errno set, when it cannot.
bool WriteAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            if (count == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

/// The settings file's lock: "<file>.lock", made with O_EXCL, held with
/// flock(2) and filled with LockFileContents while a save runs, as QSettings
/// (through QLockFile) makes, holds and fills it, so this program and
/// earlier releases take turns. Removed when the hold goes; the flock goes
/// only after that, when the file closes.
class LockHold {
  public:
    LockHold() = default;
    ~LockHold() {
        if (fd_.Get() >= 0) {
            ::unlink(path_.c_str());
        }
    }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

    /// Takes the lock at `path`, waiting up to `wait` for another writer.
    /// Returns why it could not, or "" once it holds the lock.
    std::string Take(const std::string& path, std::chrono::milliseconds wait);

  private:
    enum class Holder { None, Live, Unusable };
    static Holder ClearIfLeftBehind(const std::string& path, std::string& why);

    std::string path_;
    Descriptor fd_;
};

std::string LockHold::Take(const std::string& path, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        // O_EXCL: never opens what stands there already, a FIFO included.
        Descriptor fd = OpenWithoutWaiting(path, O_RDWR | O_CREAT | O_EXCL);
        if (fd.Get() >= 0) {
            // A file system without flock still has the file itself.
            ::flock(fd.Get(), LOCK_EX | LOCK_NB);
            path_ = path;
            fd_ = std::move(fd);
            if (!WriteAll(fd_.Get(), LockFileContents())) {
                return "its lock file cannot be written: " + SystemWords();
            }
            return {};
        }
        if (errno != EEXIST) {
            return "its lock file cannot be created: " + SystemWords();
        }
        std::string why;
        const Holder holder = ClearIfLeftBehind(path, why);
        if (holder == Holder::Unusable) {
            return why;
        }
        if (holder == Holder::Live) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return "it stayed locked by another writer";
            }
            std::this_thread::sleep_for(kLockPoll);
        }
    }
}

// Removing another writer's lock is safe only while holding its flock and
// only while the path still names that file: a second waiter that found the
// same file left behind may already have replaced it with its own.
LockHold::Holder LockHold::ClearIfLeftBehind(const std::string& path, std::string& why) {
    const auto unusable = [&why](const std::string& what) {
        why = what;
        return Holder::Unusable;
    };
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? Holder::None
                               : unusable("its lock file cannot be read: " + SystemWords());
    }
    if (!S_ISREG(info.st_mode)) {
        return unusable("its lock file is not a regular file");
    }
    const Descriptor fd = OpenWithoutWaiting(path, O_RDONLY | O_NOFOLLOW);
    if (fd.Get() < 0) {
        return errno == ENOENT ? Holder::None // removed meanwhile
                               : unusable("its lock file cannot be read: " + SystemWords());
    }
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return unusable("its lock file is not a regular file");
    }
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return Holder::Live;
    }
    // A writer that has just made the file may not hold its flock yet.
    const auto made = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(info.st_mtim.tv_sec) +
            std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
    const auto age = std::chrono::system_clock::now() - made;
    if (age < kStaleLockAge && age > -kStaleLockAge) {
        return Holder::Live;
    }
    struct stat now {};
    if (::lstat(path.c_str(), &now) == 0 && now.st_dev == info.st_dev &&
        now.st_ino == info.st_ino && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return unusable("its lock file was left behind and cannot be removed: " + SystemWords());
    }
    return Holder::None;
}

/// Writes `bytes` into `temporary`, made anew, flushes them to disk and
/// renames the file over `target`: one write, one flush, one rename. The
/// file keeps the permissions of `old` when that is a regular file. Returns
/// why it could not, or "", leaving `target` untouched on failure.
std::string ReplaceFile(const std::string& target, const std::string& temporary,
                        const std::string& bytes, const FileContents& old) {
    // Made anew, never opened as it stands: whatever is there (the file of a
    // save that was killed, a link, a FIFO) is not written through.
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        return "its temporary file " + temporary + " cannot be replaced: " + SystemWords();
    }
    Descriptor fd = OpenWithoutWaiting(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW);
    if (fd.Get() < 0) {
        return "its temporary file " + temporary + " cannot be created: " + SystemWords();
    }
    const auto failed = [&temporary](const std::string& what) {
        std::string why = what + ": " + SystemWords();
        ::unlink(temporary.c_str());
        return why;
    };
    if (old.kind == FileContents::Kind::Regular && ::fchmod(fd.Get(), old.mode) != 0) {
        return failed("its permissions cannot be kept");
    }
    if (!WriteAll(fd.Get(), bytes) || ::fsync(fd.Get()) != 0 || !fd.Close()) {
        return failed("it cannot be written");
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        return failed("it cannot be replaced");
    }
    // Until its folder is synced, a power cut may bring the old file back.
    if (const int error = runtime::SyncFolder(runtime::FolderOf(target)); error != 0) {
        return "its folder cannot be synced: " + std::string(std::strerror(error));
    }
    return {};
}

} // namespace

IniSettingsStore::IniSettingsStore()
    : configFolder_(UserConfigFolder()), lockWait_(kDefaultLockWait) {}

IniSettingsStore::IniSettingsStore(std::string filePath, std::chrono::milliseconds lockWait)
    : filePath_(std::move(filePath)), lockWait_(lockWait) {}

std::string IniSettingsStore::FileFor(const std::string& application) const {
    if (!filePath_.empty()) {
        return filePath_;
    }
    return configFolder_ + "/" + application + "/" + application + ".ini";
}

std::vector<std::string> IniSettingsStore::OwnFiles(const std::string& application) const {
    const std::string path = FileFor(application);
    return {path, LockFileFor(path), TemporaryFileFor(FinalTarget(path))};
}

runtime::SettingsEntries IniSettingsStore::Load(const std::string& application,
                                                const std::string& section,
                                                const runtime::SettingsEntries& defaults) {
    const FileContents file = ReadRegularFile(FileFor(application));
    runtime::SettingsEntries entries = defaults;
    if (file.kind == FileContents::Kind::Regular) {
        for (auto& [key, text] : entries) {
            text = ini::Find(file.bytes, section, key).value_or(text);
        }
    }
    return entries;
}

void IniSettingsStore::Save(const std::string& application, const std::string& section,
                            const runtime::SettingsEntries& entries) {
    const std::string path = FileFor(application);
    auto fail = [&path](const std::string& why) {
        throw Failure(FailureCode::SettingsError, "Cannot save settings to " + path + ": " + why);
    };

    if (!QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath())) {
        fail("its folder cannot be created");
    }
    LockHold lock;
    if (const std::string why = lock.Take(LockFileFor(path), lockWait_); !why.empty()) {
        fail(why);
    }

    // Read under the lock, so that what another program saved meanwhile is
    // kept: other sections and keys go into the new file as they stand.
    const std::string target = FinalTarget(path);
    const FileContents old = ReadRegularFile(target);
    switch (old.kind) {
    case FileContents::Kind::Missing:
        break;
    case FileContents::Kind::Regular:
        // The rename would replace a file made read-only to keep its fields.
        if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
            fail("it cannot be written: " + SystemWords());
        }
        break;
    case FileContents::Kind::NotRegular:
        fail("it is not a regular file");
        break;
    case FileContents::Kind::Unreadable:
        fail("it cannot be read: " + std::string(std::strerror(old.error)));
        break;
    }
    if (const std::string why = ReplaceFile(target, TemporaryFileFor(target),
                                            ini::WithEntries(old.bytes, section, entries), old);
        !why.empty()) {
        fail(why);
    }
}

} // namespace tavmar::store
