// SPDX-License-Identifier: GPL-3.0-or-later
// Starts refused at the open: files locked by another process, paths that
// name no regular file, and an input too large (or without a length) for a
// stop of 0. Each must
// end with the open message, the window idle, every file closed, and no file
// created or changed.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <set>

#include "FaultRig.h"

namespace tavmar::faults {
namespace {

using testfiles::LoopImage;
using testfiles::Pattern;
using testfiles::ReadFile;
using testfiles::TempFolder;
using testfiles::WriteFile;

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

enum class Lock { FlockShared, FlockExclusive, PosixRead, PosixWrite };

/// Another process that holds a lock on a file until this is destroyed.
class LockHolder {
  public:
    LockHolder(const std::string& path, Lock lock) {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const bool reading = lock == Lock::FlockShared || lock == Lock::PosixRead;
            const int fd = ::open(path.c_str(), reading ? O_RDONLY : O_RDWR);
            bool held = fd >= 0;
            if (held && (lock == Lock::FlockShared || lock == Lock::FlockExclusive)) {
                held = ::flock(fd, (lock == Lock::FlockShared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0;
            } else if (held) {
                struct flock range {};
                range.l_type = reading ? F_RDLCK : F_WRLCK;
                range.l_whence = SEEK_SET;
                held = ::fcntl(fd, F_SETLK, &range) == 0;
            }
            const char answer = held ? 'y' : 'n';
            (void)!::write(ready[1], &answer, 1);
            char ignored;
            (void)!::read(release[0], &ignored, 1); // until the parent lets go
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char answer = 'n';
        held_ = pid_ > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'y';
        ::close(ready[0]);
    }
    ~LockHolder() {
        if (release_ >= 0) {
            ::close(release_);
        }
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    bool Held() const { return held_; }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool held_ = false;
};

class OpenFaultTest : public ::testing::Test {
  protected:
    /// Starts with the fields; the start must be refused at the open with
    /// nothing in the folder created or changed, and `cause`, when given, as
    /// the box's informative text.
    void ExpectRefusedAtOpen(const std::string& input, const std::string& stop,
                             const std::string& output,
                             const std::optional<std::string>& cause = {}) {
        const int descriptors = OpenDescriptors();
        const auto names = Names(folder.Path(""));
        CopyRig rig;
        rig.real.SetOwnFiles({settings, settings + ".lock"});
        rig.controls.SetFields(input, "1", stop, output, "1");
        rig.op.StartOperation();
        rig.ExpectOnlyError(kOpenError);
        if (cause && !rig.messages.shown.empty()) {
            EXPECT_EQ(rig.messages.shown[0].informative, *cause);
        }
        EXPECT_TRUE(rig.Idle());
        EXPECT_EQ(OpenDescriptors(), descriptors);
        EXPECT_EQ(Names(folder.Path("")), names);
    }

    TempFolder folder;
    const std::string settings = folder.Path("settings.ini"); // the program's own file
};

TEST_F(OpenFaultTest, LockHeldByAnotherProcessRefusesTheStart) {
    struct Case {
        const char* name;
        Lock lock;
        bool onInput;
    };
    const Case cases[] = {
        {"flock shared on the output", Lock::FlockShared, false},
        {"flock exclusive on the output", Lock::FlockExclusive, false},
        {"fcntl read lock on the output", Lock::PosixRead, false},
        {"fcntl write lock on the output (lockf)", Lock::PosixWrite, false},
        {"flock exclusive on the input", Lock::FlockExclusive, true},
        {"fcntl write lock on the input", Lock::PosixWrite, true},
    };
    const std::string in = folder.Path("in");
    const std::string out = folder.Path("out");
    const Bytes output = Pattern(4096, 2);
    WriteFile(in, Pattern(4096, 1));
    WriteFile(out, output);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LockHolder holder(c.onInput ? in : out, c.lock);
        ASSERT_TRUE(holder.Held());
        const bool flock = c.lock == Lock::FlockShared || c.lock == Lock::FlockExclusive;
        ExpectRefusedAtOpen(in, "0", out,
                            (c.onInput ? "Input file " + in : "Output file " + out) +
                                ": File is locked (another program holds a " +
                                (flock ? "flock(2) lock" : "record lock, fcntl(2) or lockf(3),") +
                                " on it)");
        EXPECT_TRUE(ReadFile(out) == output);
    }
    // Once the other process let go, the same start works, and while it runs
    // no other program gets a lock of any kind on the output.
    CopyRig rig;
    rig.controls.SetFields(in, "1", "0", out, "1");
    rig.op.StartOperation();
    for (const Lock lock :
         {Lock::FlockShared, Lock::FlockExclusive, Lock::PosixRead, Lock::PosixWrite}) {
        EXPECT_FALSE(LockHolder(out, lock).Held()) << static_cast<int>(lock);
    }
    rig.TickToEnd();
    ASSERT_EQ(rig.messages.shown.size(), 1u);
    EXPECT_EQ(rig.messages.shown[0].text, "Operation complete");
}

TEST_F(OpenFaultTest, EveryRefusalNamesTheFileAndItsCause) {
    const std::string file = folder.Path("file");
    WriteFile(file, Pattern(100));
    WriteFile(settings, {});
    ASSERT_EQ(::mkdir(folder.Path("dir").c_str(), 0700), 0);
    const LoopImage loop(folder, "defaults"); // mounted; no device without root
    // Permission bits deny root nothing; a read-only sysctl denies root too.
    const std::string sysctl = "/proc/sys/kernel/osrelease";
    const bool denied = ::access(sysctl.c_str(), W_OK) != 0 && errno == EACCES;
    // Input, output, and the cause after the file's name and path.
    const std::array<std::array<std::string, 3>, 9> cases = {
        {{folder.Path("missing"), file, "File not found"},
         {file, folder.Path("dir"), "Path is a directory"},
         {file, file,
          "File is locked (this program has it open already: input and output are "
          "the same file)"},
         {file, settings, "File is one of this program's own files"},
         {file, settings + ".lock", "File is one of this program's own files"}, // made, removed
         {file, folder.Path("new\nline"), "Bad file name or path (it contains a line break)"},
         {"/dev/zero", file,
          "Character device has no length; give the last byte to copy instead "
          "of 0"},
         {file, denied ? sysctl : "", "Permission denied"},
         {file, loop.device,
          "Device is in use (it or a partition on it is mounted, used as swap or "
          "held by another program): unmount or release it first"}}};
    for (const auto& [input, output, cause] : cases) {
        if (!output.empty()) { // else left out, as said below
            ExpectRefusedAtOpen(input, "0", output,
                                (input == file ? "Output file " + output : "Input file " + input) +
                                    ": " + cause);
        }
    }
    if (!denied || loop.device.empty()) {
        GTEST_SKIP() << "left out: " << sysctl << " writable, or no loop device (root, mkfs.ext4)";
    }
}

TEST_F(OpenFaultTest, PathsThatNameNoRegularFileAreRefusedWithoutCreatingAnything) {
    const std::string file = folder.Path("file");
    const std::string fifo = folder.Path("fifo");
    const std::string dir = folder.Path("dir");
    const std::string dangling = folder.Path("dangling");
    WriteFile(file, Pattern(100));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(folder.Path("nowhere").c_str(), dangling.c_str()), 0);
    const std::string newOutput = folder.Path("new");
    struct Case {
        const char* name;
        std::string input;
        std::string output;
    };
    const Case cases[] = {
        {"FIFO as input", fifo, newOutput},
        {"FIFO as output", file, fifo},
        {"directory as input", dir, newOutput},
        {"directory as output", file, dir},
        {"dangling symbolic link as input", dangling, newOutput},
        {"character device as input with a stop of 0", "/dev/zero", newOutput},
        {"missing input", folder.Path("missing"), newOutput},
        {"empty input path", "", newOutput},
        {"empty output path", file, ""},
        {"output path ending in a line break", file, newOutput + "\n"},
        {"output inside a regular file", file, file + "/out"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectRefusedAtOpen(c.input, "0", c.output);
    }
}

TEST_F(OpenFaultTest, InputPast2GiBNeedsAnExplicitStop) {
    const std::string in = folder.Path("big");
    const std::string out = folder.Path("out");
    constexpr std::streamoff kNearEnd = 2147483000; // 0-based
    const Bytes tail = Pattern(647, 3);
    {
        WriteFile(in, {});
        std::error_code error;
        std::filesystem::resize_file(in, std::uintmax_t{3} << 30, error); // sparse
        std::fstream file(in, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(kNearEnd);
        file.write(reinterpret_cast<const char*>(tail.data()),
                   static_cast<std::streamsize>(tail.size()));
        file.close();
        if (error || !file) {
            GTEST_SKIP() << "no sparse 3 GiB file here";
        }
    }
    ExpectRefusedAtOpen(in, "0", out);

    // The last 647 positions a 32-bit stop can reach, explicitly.
    CopyRig rig;
    rig.controls.SetFields(in, "2147483001", "2147483647", out, "1");
    rig.op.StartOperation();
    rig.TickToEnd();
    ASSERT_EQ(rig.messages.shown.size(), 1u);
    EXPECT_EQ(rig.messages.shown[0].text, "Operation complete");
    EXPECT_TRUE(rig.Idle());
    EXPECT_TRUE(ReadFile(out) == tail);
}

} // namespace
} // namespace tavmar::faults
