// SPDX-License-Identifier: GPL-3.0-or-later
// Faults while a copy runs, on real files through the real copy actions:
// a full disk, the file size limit, the input changed by another program,
// and device errors part way through a block. Each must end with one error
// box, the window idle, every file closed, the bytes before the fault in
// place and nothing written past them.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

#include "FaultRig.h"

namespace tavmar::faults {
namespace {

using runtime::Failure;
using runtime::FailureCode;
using testfiles::Pattern;
using testfiles::ReadFile;
using testfiles::TempFolder;
using testfiles::WriteFile;

constexpr std::size_t kBlock = copy::kBlockSize;
constexpr std::size_t kMiB = 1 << 20;

class CopyFaultTest : public ::testing::Test {
  protected:
    void SetUp() override { descriptorsBefore = OpenDescriptors(); }

    /// After the fault: one error box with `text`, idle, no descriptor left.
    void ExpectCleanEnd(const std::string& text) {
        rig.ExpectOnlyError(text);
        EXPECT_TRUE(rig.Idle());
        EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
    }

    TempFolder folder;
    CopyRig rig;
    int descriptorsBefore = 0;
};

// ---- the output's disk fills up ----

/// A tmpfs of `size` mounted on `path` for the test's life, when this
/// process may mount one.
class SmallTmpfs {
  public:
    SmallTmpfs(const std::string& path, const char* size) : path_(path) {
        if (::geteuid() != 0 || ::mkdir(path.c_str(), 0700) != 0) {
            return;
        }
        const std::string options = std::string("size=") + size;
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallTmpfs() {
        if (mounted_ && ::umount(path_.c_str()) != 0) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;
    bool Mounted() const { return mounted_; }

  private:
    std::string path_;
    bool mounted_ = false;
};

TEST_F(CopyFaultTest, DiskFillingInTheMiddleOfABlockKeepsWhatFitted) {
    const SmallTmpfs small(folder.Path("small"), "4m");
    if (!small.Mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root and mount rights)";
    }
    const Bytes input = Pattern(kBlock + 2 * kMiB, 3);
    WriteFile(folder.Path("in"), input);
    const std::string out = folder.Path("small/out");
    rig.controls.SetFields(folder.Path("in"), "1", "0", out, "1");
    rig.op.StartOperation();
    rig.TickToEnd();

    ExpectCleanEnd(CopyError(FailureCode::DiskFull));
    const Bytes written = ReadFile(out);
    EXPECT_GT(written.size(), 3 * kMiB);
    EXPECT_LE(written.size(), 4 * kMiB);
    EXPECT_TRUE(SameBytes(written, Bytes(input.begin(), input.begin() + written.size())));
}

TEST_F(CopyFaultTest, DevFullAsOutputIsADiskFullMessage) {
    WriteFile(folder.Path("in"), Pattern(5000));
    rig.controls.SetFields(folder.Path("in"), "1", "0", "/dev/full", "1");
    rig.op.StartOperation();
    rig.TickToEnd();
    ExpectCleanEnd(CopyError(FailureCode::DiskFull));
}

// ---- the file size limit ----

TEST_F(CopyFaultTest, FileSizeLimitStopsTheCopyWithAMessageNotASignal) {
    const Bytes input = Pattern(kBlock + 5 * kMiB, 4);
    WriteFile(folder.Path("in"), input);
    const std::string out = folder.Path("out");
    // Past the first block, and not on a page boundary.
    constexpr rlim_t kLimit = kBlock + 3 * kMiB + 123;

    // In a child, since the limit and the ignored signal are per process;
    // it reports on stderr what the parent matches.
    const auto copyUnderLimit = [&] {
        std::signal(SIGXFSZ, SIG_IGN); // as the program does
        const rlimit limit{kLimit, kLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            std::_Exit(2);
        }
        const int before = OpenDescriptors();
        CopyRig child;
        child.controls.SetFields(folder.Path("in"), "1", "0", out, "1");
        child.op.StartOperation();
        child.TickToEnd();
        std::fprintf(stderr, "messages=%zu;text=%s;idle=%d;descriptors=%d\n",
                     child.messages.shown.size(),
                     child.messages.shown.empty() ? "" : child.messages.shown[0].text.c_str(),
                     child.Idle() ? 1 : 0, OpenDescriptors() - before);
        std::_Exit(0);
    };
    EXPECT_EXIT(copyUnderLimit(), ::testing::ExitedWithCode(0),
                "messages=1;text=Error #74 \\(File too large\\) occurred while copying;"
                "idle=1;descriptors=0");
    EXPECT_TRUE(SameBytes(ReadFile(out), Bytes(input.begin(), input.begin() + kLimit)));
}

// ---- the input changed by another program between two ticks ----

struct InputChange {
    const char* name;
    std::function<bool(int fd, const struct stat& before)> change; // false: it failed
};

/// Waits up to 5 s until /proc/locks shows a lease on `path` being broken.
bool LeaseBreakPending(const std::string& path) {
    struct stat status {};
    const std::string inode =
        ":" + std::to_string(::stat(path.c_str(), &status) == 0 ? status.st_ino : 0) + " ";
    for (int tries = 0; tries < 500; ::usleep(10000), ++tries) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            if (line.find("BREAKING") != std::string::npos &&
                line.find(inode) != std::string::npos) {
                return true;
            }
        }
    }
    return false;
}

TEST_F(CopyFaultTest, InputChangedBetweenTicksStopsWithOnlyOldBytesWritten) {
    const InputChange changes[] = {
        {"shortened",
         [](int fd, const struct stat&) { return ::ftruncate(fd, kBlock + kMiB) == 0; }},
        {"grown",
         [](int fd, const struct stat& before) {
             return ::pwrite(fd, "grown", 5, before.st_size) == 5;
         }},
        {"rewritten in place, same size, modification time set back",
         [](int fd, const struct stat& before) {
             const Bytes fresh = Pattern(kMiB, 99);
             const timespec times[2] = {before.st_atim, before.st_mtim};
             return ::pwrite(fd, fresh.data(), fresh.size(), kBlock + 7) ==
                        static_cast<ssize_t>(fresh.size()) &&
                    ::futimens(fd, times) == 0;
         }},
    };
    const Bytes input = Pattern(kBlock + 5 * kMiB, 5);
    const Bytes existing = Pattern(kBlock + 8 * kMiB, 6);
    const std::string in = folder.Path("in");
    const std::string out = folder.Path("out");
    WriteFile(in, input);
    // Where this file system gives no read lease, the change is made at once
    // and only the comparison of times and size catches it.
    const int probe = ::open(in.c_str(), O_RDONLY);
    const bool leases = ::fcntl(probe, F_SETLEASE, F_RDLCK) == 0;
    ::close(probe);
    for (const auto& change : changes) {
        SCOPED_TRACE(change.name);
        CopyRig fresh;
        WriteFile(in, input);
        WriteFile(out, existing);
        fresh.controls.SetFields(in, "5", "0", out, "1001");
        fresh.op.StartOperation();
        pid_t writer = -1;
        int status = -1;
        fresh.TickToEnd([&](int tick) {
            if (tick == 1) {
                // Another program: advisory locks do not stop it, but the
                // read lease holds its open until the next tick lets it go.
                writer = ::fork();
                if (writer == 0) {
                    const int fd = ::open(in.c_str(), O_WRONLY);
                    struct stat before {};
                    std::_Exit(
                        fd >= 0 && ::fstat(fd, &before) == 0 && change.change(fd, before) ? 0 : 1);
                }
                if (leases) {
                    ASSERT_TRUE(LeaseBreakPending(in));
                    EXPECT_TRUE(ReadFile(in) == input); // still waiting
                } else {
                    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
                    writer = -1;
                }
            }
        });
        fresh.ExpectOnlyError(CopyError(FailureCode::InputChanged));
        EXPECT_TRUE(fresh.Idle());
        EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
        EXPECT_TRUE(SameBytes(ReadFile(out), Spliced(existing, input, 4, 1000, kBlock)));
        if (writer > 0) {
            ASSERT_EQ(::waitpid(writer, &status, 0), writer);
        }
        EXPECT_EQ(status, 0); // the writer went on once the copy let go
    }
}

// ---- a device error part way through a block ----

struct DeviceFault {
    const char* name;
    int error;        // what the system call reported
    int tick;         // the tick whose copy fails
    long bytesBefore; // bytes of that tick copied before it; -1: random
};

TEST_F(CopyFaultTest, DeviceErrorPartWayThroughABlockKeepsTheBytesBeforeIt) {
    const DeviceFault faults[] = {
        {"read EIO at the first byte", EIO, 1, 0},
        {"read EIO at a random byte of the first block", EIO, 1, -1},
        {"read ENODEV (medium gone) in the second block", ENODEV, 2, -1},
        {"write EIO at a random byte of the second block", EIO, 2, -1},
        {"write EIO at the last byte of the first block", EIO, 1, long{kBlock} - 1},
        {"write ENOSPC at a random byte", ENOSPC, 2, -1},
        {"write EDQUOT at a random byte", EDQUOT, 1, -1},
        {"write EFBIG at a random byte", EFBIG, 2, -1},
    };
    const Bytes input = Pattern(kBlock + 4 * kMiB + 17, 7);
    const Bytes existing = Pattern(kBlock + 6 * kMiB, 8);
    const std::string in = folder.Path("in");
    const std::string out = folder.Path("out");
    WriteFile(in, input);
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    for (const auto& fault : faults) {
        CopyRig fresh;
        WriteFile(out, existing);
        std::int32_t bytesBefore = -1;
        fresh.files.copyFault =
            [&](int call, std::int32_t count) -> std::optional<FaultyFileTable::CopyFault> {
            if (call != fault.tick) {
                return std::nullopt;
            }
            bytesBefore = fault.bytesBefore >= 0
                              ? static_cast<std::int32_t>(fault.bytesBefore)
                              : std::uniform_int_distribution<std::int32_t>(0, count - 1)(random);
            return FaultyFileTable::CopyFault{bytesBefore, runtime::FailureFromErrno(fault.error)};
        };
        fresh.controls.SetFields(in, "3", "0", out, "2049");
        fresh.op.StartOperation();
        fresh.TickToEnd();

        SCOPED_TRACE(std::string(fault.name) + ", " + std::to_string(bytesBefore) +
                     " bytes into the block, seed " + std::to_string(seed));
        ASSERT_GE(bytesBefore, 0) << "the fault was never reached";
        fresh.ExpectOnlyError(CopyError(runtime::FailureFromErrno(fault.error).Code()));
        EXPECT_TRUE(fresh.Idle());
        EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
        const std::size_t kept = (fault.tick - 1) * kBlock + bytesBefore;
        EXPECT_TRUE(SameBytes(ReadFile(out), Spliced(existing, input, 2, 2048, kept)));
    }
}

// ---- the output's flush fails at the end ----

TEST_F(CopyFaultTest, FlushFailingAtTheEndIsACopyErrorWithEveryByteKept) {
    const Bytes input = Pattern(3 * kMiB, 9);
    WriteFile(folder.Path("in"), input);
    rig.files.flushFault = [](runtime::FileNumber) { return Failure(FailureCode::DeviceError); };
    rig.controls.SetFields(folder.Path("in"), "1", "0", folder.Path("out"), "1");
    rig.op.StartOperation();
    rig.TickToEnd();
    ExpectCleanEnd(CopyError(FailureCode::DeviceError));
    EXPECT_TRUE(SameBytes(ReadFile(folder.Path("out")), input));
}

// The close that meets the flush's failure again adds no box; every number is
// released all the same, so nothing stays open and the window is idle.
TEST_F(CopyFaultTest, FlushAndCloseFailingGiveOneBoxAndLeaveNothingOpen) {
    const Bytes input = Pattern(3 * kMiB, 10);
    WriteFile(folder.Path("in"), input);
    const auto failure = [](runtime::FileNumber) { return Failure(FailureCode::DeviceError); };
    rig.files.flushFault = failure;
    rig.files.closeFault = [&](runtime::FileNumber number) -> std::optional<Failure> {
        if (number == rig.op.State().OutputFileNumber) {
            return failure(number);
        }
        return std::nullopt;
    };
    rig.controls.SetFields(folder.Path("in"), "1", "0", folder.Path("out"), "1");
    rig.op.StartOperation();
    rig.TickToEnd();
    ExpectCleanEnd(CopyError(FailureCode::DeviceError));
    EXPECT_EQ(rig.messages.shown[0].informative,
              "Output file " + folder.Path("out") + ": Device error");
    EXPECT_TRUE(SameBytes(ReadFile(folder.Path("out")), input));
}

} // namespace
} // namespace tavmar::faults
