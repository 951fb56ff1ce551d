// SPDX-License-Identifier: GPL-3.0-or-later
// What only the real file table can show: links, other processes' locks,
// FIFOs and devices, limits of the system and descriptors.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <tuple>

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"
#include "runtime/PosixFileTable.h"

namespace tavmar::testfiles {
namespace {

using runtime::FailureCode;
using runtime::FileAccess;
using runtime::PosixFileTable;

class PosixFileTableTest : public ::testing::Test {
  protected:
    TempFolder folder; // declared first: removed after the table closes
    PosixFileTable table;
};

// ---- one file under two names ----

TEST_F(PosixFileTableTest, LinksToAnOpenFileAreRefusedAndTheFirstOpenStillWorks) {
    const auto path = folder.Path("target");
    WriteFile(path, Bytes{5, 6});
    std::filesystem::create_symlink(path, folder.Path("symlink"));
    std::filesystem::create_hard_link(path, folder.Path("hardlink"));

    table.Open(1, path, FileAccess::Write);
    for (const char* name : {"symlink", "hardlink"}) {
        for (FileAccess access : {FileAccess::Read, FileAccess::Write}) {
            const auto code = Raised([&] { table.Open(2, folder.Path(name), access); });
            EXPECT_TRUE(code == FailureCode::FileLocked || code == FailureCode::SameFile) << name;
        }
    }
    table.WriteByte(1, 3, 7);
    table.Close(1);
    EXPECT_EQ(ReadFile(path), (Bytes{5, 6, 7}));
    EXPECT_EQ(table.NextFreeNumber(), 1);
}

// On a file system without locks, only the table's comparison of identities
// keeps one file from being input and output, in either order.
TEST_F(PosixFileTableTest, OneFileUnderTwoNamesIsRefusedEvenWithoutLocks) {
    const auto path = folder.Path("target");
    WriteFile(path, Bytes{1});
    std::filesystem::create_hard_link(path, folder.Path("hardlink"));
    // The input's read lease would refuse the output's open as a lock: the
    // output must be refused from its name before it is opened.
    PosixFileTable lockless(runtime::OpenAdmission::WithoutLocks(), ::pwrite);
    using Row = std::tuple<FileAccess, FileAccess, std::optional<FailureCode>>;
    for (const auto& [first, second, refusal] :
         {Row{FileAccess::Read, FileAccess::Write, FailureCode::SameFile},
          Row{FileAccess::Write, FileAccess::Read, FailureCode::SameFile},
          Row{FileAccess::Read, FileAccess::Read, std::nullopt}}) {
        lockless.Open(1, path, first);
        EXPECT_EQ(Raised([&] { lockless.Open(2, folder.Path("hardlink"), second); }), refusal);
        lockless.CloseAll();
    }
}

// Partitions side by side share no byte, one byte more and they do; two
// files of one file system share that file system, not bytes.
TEST(FileExtentsTest, ExtentsShareBytesWhereTheyOverlapOnOneBase) {
    using runtime::ByteExtent;
    const runtime::FileIdentity disk{runtime::FileIdentity::Kind::BlockDevice, 0x800, 0};
    const runtime::FileIdentity other{runtime::FileIdentity::Kind::BlockDevice, 0x810, 0};
    const auto end = ByteExtent::kToTheEnd;
    using Row = std::tuple<ByteExtent, ByteExtent, bool>;
    for (const auto& [one, two, shared] :
         {Row{{disk, 0, 512}, {disk, 512, 1024}, false},
          Row{{disk, 0, 513}, {disk, 512, end}, true}, Row{{disk, 0, 512}, {other, 0, 512}, false},
          Row{{disk, 0, end, true}, {disk, 9, 10, true}, false},
          Row{{disk, 0, end, true}, {disk, 9, 10}, true}}) {
        EXPECT_EQ(runtime::ShareBytes({one}, {two}), shared) << one.start << " " << two.start;
        EXPECT_EQ(runtime::ShareBytes({two}, {one}), shared) << one.start << " " << two.start;
    }
}

TEST_F(PosixFileTableTest, TheProgramsOwnFileIsNeverWrittenByAnyName) {
    const auto own = folder.Path("own.ini");
    table.SetOwnFiles({own});
    std::filesystem::create_symlink(own, folder.Path("link"));
    // Missing yet: created through the link, refused, and removed again.
    EXPECT_EQ(Raised([&] { table.Open(1, folder.Path("link"), FileAccess::Write); }),
              FailureCode::ProgramFile);
    EXPECT_FALSE(std::filesystem::exists(own));
    WriteFile(own, Bytes{1, 2, 3});
    std::filesystem::create_hard_link(own, folder.Path("hardlink"));
    for (const std::string& name :
         {own, folder.Path("hardlink"), std::filesystem::relative(own).string()}) {
        EXPECT_EQ(Raised([&] { table.Open(1, name, FileAccess::Write); }), FailureCode::ProgramFile)
            << name;
    }
    // Named through a link (dotfile managers keep them so), it is still ours.
    std::filesystem::create_symlink(own, folder.Path("own-link"));
    table.SetOwnFiles({folder.Path("own-link")});
    EXPECT_EQ(Raised([&] { table.Open(1, own, FileAccess::Write); }), FailureCode::ProgramFile);
    table.Open(1, own, FileAccess::Read);
    EXPECT_EQ(table.ReadByte(1, 3), 3);
}

// ---- locks held by another process ----

enum class LockKind { FlockExclusive, LockfWrite, FcntlRead, OpenForWriting };

// A child process that holds a lock on a file until this object goes away.
class LockHolder {
  public:
    LockHolder(const std::string& path, LockKind kind) {
        int ready[2];
        if (::pipe(ready) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            const int fd = ::open(path.c_str(), kind == LockKind::FcntlRead ? O_RDONLY : O_RDWR);
            bool locked = fd >= 0;
            if (locked && kind == LockKind::FlockExclusive) {
                locked = ::flock(fd, LOCK_EX) == 0;
            } else if (locked && kind == LockKind::LockfWrite) {
                locked = ::lockf(fd, F_LOCK, 0) == 0;
            } else if (locked && kind != LockKind::OpenForWriting) {
                struct flock range {};
                range.l_type = F_RDLCK;
                range.l_whence = SEEK_SET;
                locked = ::fcntl(fd, F_SETLK, &range) == 0;
            }
            const char answer = locked ? 'y' : 'n';
            (void)!::write(ready[1], &answer, 1);
            for (;;) {
                ::pause();
            }
        }
        ::close(ready[1]);
        char answer = 'n';
        locked_ = ::read(ready[0], &answer, 1) == 1 && answer == 'y';
        ::close(ready[0]);
    }
    ~LockHolder() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    bool Locked() const { return locked_; }

  private:
    pid_t pid_ = -1;
    bool locked_ = false;
};

TEST_F(PosixFileTableTest, AnotherProcessesLockRefusesTheOpenAndNothingIsWritten) {
    struct Case {
        LockKind kind;
        bool writeAllowed;
        const char* readRefusal; // what the description says, nullptr: read allowed
    };
    for (const Case c : {Case{LockKind::FlockExclusive, false, "flock(2)"},
                         Case{LockKind::LockfWrite, false, "record lock"},
                         Case{LockKind::FcntlRead, false, nullptr},
                         // a writer that a lease would have to keep out
                         Case{LockKind::OpenForWriting, true, "has it open for writing"}}) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        const auto path = folder.Path("locked" + std::to_string(static_cast<int>(c.kind)));
        WriteFile(path, Bytes{1, 2, 3});
        LockHolder holder(path, c.kind);
        ASSERT_TRUE(holder.Locked());

        EXPECT_EQ(Raised([&] { table.Open(1, path, FileAccess::Write); }),
                  c.writeAllowed ? std::nullopt
                                 : std::optional<FailureCode>(FailureCode::FileLocked));
        table.CloseAll();
        try {
            table.Open(1, path, FileAccess::Read);
            EXPECT_EQ(c.readRefusal, nullptr);
        } catch (const runtime::Failure& failure) {
            EXPECT_EQ(failure.Code(), FailureCode::FileLocked);
            EXPECT_NE(failure.Description().find(c.readRefusal ? c.readRefusal : "?"),
                      std::string::npos)
                << failure.Description();
        }
        table.CloseAll();
        EXPECT_EQ(ReadFile(path), (Bytes{1, 2, 3}));
    }
}

// Another instance asked to write this table's input is refused before its
// open for writing, which would break the input's read lease.
TEST_F(PosixFileTableTest, AWriteOpenOfAnotherTablesInputLeavesItsCopyGoing) {
    const auto in = folder.Path("in");
    const auto out = folder.Path("out");
    WriteFile(in, Pattern(8192));
    table.Open(1, in, FileAccess::Read);
    table.Open(2, out, FileAccess::Write);
    PosixFileTable other;
    EXPECT_EQ(Raised([&] { other.Open(1, in, FileAccess::Write); }), FailureCode::FileLocked);
    table.CopyBytes(1, 1, 2, 1, 8192);
    table.Close(2);
    EXPECT_EQ(ReadFile(out), ReadFile(in));
}

// ---- things that are not seekable files ----

TEST_F(PosixFileTableTest, DirectoriesAndFifosAreRefusedWithoutWaiting) {
    const auto fifo = folder.Path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto started = std::chrono::steady_clock::now();

    EXPECT_EQ(Raised([&] { table.Open(1, folder.Path(""), FileAccess::Read); }),
              FailureCode::IsDirectory);
    EXPECT_EQ(Raised([&] { table.Open(1, folder.Path(""), FileAccess::Write); }),
              FailureCode::IsDirectory);
    EXPECT_EQ(Raised([&] { table.Open(1, fifo, FileAccess::Read); }), FailureCode::NotSeekable);
    EXPECT_EQ(Raised([&] { table.Open(1, fifo, FileAccess::Write); }), FailureCode::NotSeekable);

    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(table.NextFreeNumber(), 1);
}

TEST_F(PosixFileTableTest, DevFullAsOutputIsAFullDisk) {
    const auto in = folder.Path("in");
    WriteFile(in, Pattern(3000));
    table.Open(1, in, FileAccess::Read);
    table.Open(2, "/dev/full", FileAccess::Write);
    EXPECT_EQ(Raised([&] { table.WriteByte(2, 1, 0); }), FailureCode::DiskFull);
    EXPECT_EQ(Raised([&] { table.CopyBytes(1, 1, 2, 1, 3000); }), FailureCode::DiskFull);
    table.Close(2); // a device that cannot sync is not a failed flush
}

// A regular file whose file system cannot sync it is: procfs has no stable
// storage, so fdatasync(2) refuses its files, on any machine and as any user.
TEST_F(PosixFileTableTest, RegularFileThatCannotSyncFailsFlushAndClose) {
    table.Open(1, "/proc/self/comm", FileAccess::Write);
    EXPECT_EQ(Raised([&] { table.Flush(1); }), FailureCode::DeviceError);
    EXPECT_EQ(Raised([&] { table.Close(1); }), FailureCode::DeviceError);
    // Closed all the same: the number is free and no lock of it is left.
    table.Open(1, "/proc/self/comm", FileAccess::Write);
}

// /proc/self/mem fails reads and writes of the unmapped first page with EIO.
TEST_F(PosixFileTableTest, DeviceErrorInACopySaysWhichFileFailed) {
    WriteFile(folder.Path("in"), Pattern(10));
    const std::string mem = "/proc/self/mem";
    for (const auto& [in, out] : {std::pair{mem, folder.Path("out")}, {folder.Path("in"), mem}}) {
        table.Open(1, in, FileAccess::Read);
        table.Open(2, out, FileAccess::Write);
        try {
            table.CopyBytes(1, 1, 2, 1, 10);
            ADD_FAILURE() << "no failure from " << in;
        } catch (const runtime::Failure& failure) {
            EXPECT_EQ(failure.File(),
                      in == mem ? runtime::FailedFile::Input : runtime::FailedFile::Output);
        }
        table.CloseAll();
    }
}

// pwrite(2) as the kernel may do it near a size limit: half of what is asked.
ssize_t HalfWrite(int fd, const void* bytes, std::size_t size, off_t offset) {
    return ::pwrite(fd, bytes, (size + 1) / 2, offset);
}

TEST_F(PosixFileTableTest, SeekableCharacterDeviceFeedsTheBufferedCopy) {
    const auto out = folder.Path("out");
    PosixFileTable shortWrites(runtime::OpenAdmission(), HalfWrite);
    for (PosixFileTable* files : {&table, &shortWrites}) { // every byte, however short the writes
        WriteFile(out, Bytes(3 * (1 << 20) + 9, 0xEE));
        files->Open(1, "/dev/zero", FileAccess::Read);
        files->Open(2, out, FileAccess::Write);
        files->CopyBytes(1, 1, 2, 5, 3 * (1 << 20));
        files->Close(2);
        Bytes expected(3 * (1 << 20) + 9, 0);
        std::fill(expected.begin(), expected.begin() + 4, 0xEE);
        std::fill(expected.end() - 5, expected.end(), 0xEE);
        EXPECT_TRUE(ReadFile(out) == expected) << (files == &shortWrites ? "short writes" : "");
    }
}

// ---- block devices ----

// The first 4 KiB of a file: on ext4, the superblock and what precedes it.
Bytes Head(const std::string& path) {
    Bytes head(4096);
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(head.data()), 4096);
    return head;
}

TEST_F(PosixFileTableTest, MountedBlockDeviceIsReadButNeverWritten) {
    const LoopImage loop(folder, "defaults");
    const std::string& device = loop.device;
    if (device.empty()) {
        GTEST_SKIP() << "needs root, mkfs.ext4 and a free loop device";
    }
    const Bytes before = Head(device);
    EXPECT_EQ(Raised([&] { table.Open(1, device, FileAccess::Write); }), FailureCode::DeviceInUse);
    table.Open(1, device, FileAccess::Read);
    EXPECT_EQ(table.ReadByte(1, 1025), before[1024]);
    table.Close(1);
    EXPECT_TRUE(Head(device) == before);

    ASSERT_EQ(::umount2(folder.Path("mnt").c_str(), 0), 0);
    table.Open(2, device, FileAccess::Write); // nothing holds it any more
    table.WriteByte(2, 1025, static_cast<std::uint8_t>(~before[1024]));
    table.Close(2);
    EXPECT_EQ(Head(device)[1024], static_cast<std::uint8_t>(~before[1024]));
}

TEST_F(PosixFileTableTest, LoopDeviceItsImageAndAnyNodeOfItAreOneFile) {
    const LoopImage loop(folder, "", true);
    struct stat status {};
    const auto image = folder.Path("image");
    const auto alias = folder.Path("alias"); // another node for the same device
    const auto part = loop.device + "p1";    // bytes 1 MiB to 5 MiB of it
    const auto onDisk = folder.Path("mnt/out");
    if (loop.device.empty() || ::stat(loop.device.c_str(), &status) != 0 ||
        ::mknod(alias.c_str(), S_IFBLK | 0600, status.st_rdev) != 0) {
        GTEST_SKIP() << "needs root, mkfs.ext4, addpart, a free loop device and device nodes";
    }
    // The last rows with the disk's file system mounted.
    const std::tuple<std::string, std::string, FailureCode, bool> cases[] = {
        {image, loop.device, FailureCode::SameFile, false},
        {loop.device, alias, FailureCode::SameFile, false},
        {alias, image, FailureCode::SameFile, false},
        {"/dev/zero", image, FailureCode::DeviceInUse, false}, // the image of a bound loop device
        {loop.device, part, FailureCode::SameFile, false},
        {part, loop.device, FailureCode::SameFile, false},
        {image, part, FailureCode::SameFile, false},
        {loop.device, onDisk, FailureCode::SameFile, true}, // a disk imaged into itself
        {part, onDisk, FailureCode::SameFile, true},
    };
    for (const auto& [in, out, refusal, mounted] : cases) {
        if (mounted && !std::filesystem::exists(folder.Path("mnt"))) {
            ASSERT_EQ(std::system((loop.in + "mkdir mnt && mount " + loop.device + " mnt").c_str()),
                      0);
        }
        table.Open(1, in, FileAccess::Read);
        EXPECT_EQ(Raised([&] { table.Open(2, out, FileAccess::Write); }), refusal) << in << out;
        table.CloseAll();
    }
    try { // a partition is busy because its disk is mounted, which the box says
        table.Open(1, part, FileAccess::Write);
        ADD_FAILURE() << part << " opened for writing";
    } catch (const runtime::Failure& failure) {
        EXPECT_NE(failure.Description().find("disk holding it, " + loop.device), std::string::npos)
            << failure.Description();
    }
}

TEST_F(PosixFileTableTest, WritingTheImageBehindALoopDeviceInputStopsTheNextCopy) {
    const LoopImage loop(folder, "", true);
    const auto image = folder.Path("image");
    const timespec longAgo[2] = {{1000000000, 0}, {1000000000, 0}};
    if (loop.device.empty() || ::utimensat(AT_FDCWD, image.c_str(), longAgo, 0) != 0) {
        GTEST_SKIP() << "needs root, mkfs.ext4, addpart and a free loop device";
    }
    for (const std::string& in : {loop.device, loop.device + "p1"}) {
        table.Open(1, in, FileAccess::Read);
        table.Open(2, folder.Path("out"), FileAccess::Write);
        table.CopyBytes(1, 1, 2, 1, 10);
        // Another program writes the image itself, not through the device.
        ASSERT_EQ(std::system(
                      ("printf x | dd of=" + image + " bs=1 seek=1048600 conv=notrunc status=none")
                          .c_str()),
                  0);
        EXPECT_EQ(Raised([&] { table.CopyBytes(1, 1, 2, 11, 10); }), FailureCode::InputChanged)
            << in;
        table.CloseAll();
    }
}

TEST_F(PosixFileTableTest, FileOnAnOverlayAndTheLayerFileBelowItAreOneFile) {
    const RunOnExit unmount{"umount -l " + folder.Path("merged") + " 2>/dev/null"};
    for (const char* name : {"lower", "upper", "work", "merged"}) {
        std::filesystem::create_directory(folder.Path(name));
    }
    WriteFile(folder.Path("upper/up"), Bytes{1, 2, 3});
    WriteFile(folder.Path("lower/low"), Bytes{4, 5, 6});
    if (std::system(("mount -t overlay overlay -o lowerdir=" + folder.Path("lower") +
                     ",upperdir=" + folder.Path("upper") + ",workdir=" + folder.Path("work") + " " +
                     folder.Path("merged"))
                        .c_str()) != 0) {
        GTEST_SKIP() << "needs root and overlay mounts";
    }
    const std::pair<const char*, const char*> pairs[] = {{"merged/up", "upper/up"},
                                                         {"upper/up", "merged/up"},
                                                         {"merged/low", "lower/low"},
                                                         {"lower/low", "merged/low"}};
    for (const auto& [in, out] : pairs) {
        table.Open(1, folder.Path(in), FileAccess::Read);
        EXPECT_EQ(Raised([&] { table.Open(2, folder.Path(out), FileAccess::Write); }),
                  FailureCode::SameFile)
            << in << " " << out;
        table.CloseAll();
    }
    EXPECT_EQ(ReadFile(folder.Path("upper/up")), (Bytes{1, 2, 3}));
    EXPECT_FALSE(std::filesystem::exists(folder.Path("upper/low"))); // not even copied up
}

TEST_F(PosixFileTableTest, FileSystemGoneReadOnlyFailsWritesFlushAndClose) {
    const LoopImage loop(folder, "errors=remount-ro");
    const std::string trigger =
        "/sys/fs/ext4/" + loop.device.substr(loop.device.rfind('/') + 1) + "/trigger_fs_error";
    if (loop.device.empty() || ::access(trigger.c_str(), W_OK) != 0) {
        GTEST_SKIP() << "needs root, mkfs.ext4, a free loop device and ext4's trigger_fs_error";
    }
    table.Open(1, folder.Path("mnt/out"), FileAccess::Write);
    table.WriteByte(1, 1, 7);                    // not on disk yet
    std::ofstream(trigger) << "1" << std::flush; // ext4 then goes read-only
    EXPECT_EQ(Raised([&] { table.WriteByte(1, 2, 7); }), FailureCode::ReadOnlyFileSystem);
    EXPECT_EQ(Raised([&] { table.Flush(1); }), FailureCode::ReadOnlyFileSystem);
    EXPECT_EQ(Raised([&] { table.Close(1); }), FailureCode::ReadOnlyFileSystem);
}

// ---- limits ----

TEST_F(PosixFileTableTest, NewOutputGetsMode0666LessTheUmask) {
    const mode_t saved = ::umask(027);
    table.Open(1, folder.Path("made"), FileAccess::Write);
    ::umask(saved);
    struct stat status {};
    ASSERT_EQ(::stat(folder.Path("made").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(PosixFileTableTest, LengthAboveTheSigned32BitRangeIsTooLarge) {
    const auto edge = folder.Path("edge");
    const auto huge = folder.Path("huge");
    WriteFile(edge, {});
    WriteFile(huge, {});
    std::filesystem::resize_file(edge, 0x7FFFFFFF); // sparse
    std::filesystem::resize_file(huge, 0x80000000);
    table.Open(1, edge, FileAccess::Read);
    table.Open(2, huge, FileAccess::Write);
    EXPECT_EQ(table.Length(1), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(Raised([&] { table.Length(2); }), FailureCode::FileTooLarge);
}

TEST_F(PosixFileTableTest, CopyPastTheSigned32BitRangeIsAnOverflowWithNothingWritten) {
    WriteFile(folder.Path("in"), Pattern(10));
    table.Open(1, folder.Path("in"), FileAccess::Read);
    table.Open(2, folder.Path("out"), FileAccess::Write);
    const std::int32_t last = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(Raised([&] { table.CopyBytes(1, 1, 2, last, 2); }), FailureCode::Overflow);
    EXPECT_EQ(Raised([&] { table.CopyBytes(1, last, 2, 1, 2); }), FailureCode::Overflow);
    EXPECT_EQ(table.Length(2), 0);
    table.CopyBytes(1, 10, 2, last, 1); // the very last position is fine
    EXPECT_EQ(table.Length(2), last);
}

TEST_F(PosixFileTableTest, FileSizeLimitStopsTheCopyAfterTheBytesThatFit) {
    const auto in = folder.Path("in");
    const auto out = folder.Path("out");
    Bytes dataAfterHole = Pattern(5000);
    std::fill_n(dataAfterHole.begin(), 4096, 0);
    // All data; the limit in a hole before data; the limit in a hole at the end.
    for (const Bytes& input : {Pattern(5000), dataAfterHole, Bytes(5000, 0)}) {
        WriteFile(in, input, true);
        std::filesystem::remove(out);
        // In a child, since the limit and the ignored signal are per process.
        const auto copyUnderLimit = [&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{1000, 1000};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            PosixFileTable child;
            child.Open(1, in, FileAccess::Read);
            child.Open(2, out, FileAccess::Write);
            const auto code = Raised([&] { child.CopyBytes(1, 1, 2, 1, 5000); });
            std::_Exit(code == FailureCode::FileTooLarge ? 0 : 1);
        };
        EXPECT_EXIT(copyUnderLimit(), ::testing::ExitedWithCode(0), "");
        EXPECT_TRUE(ReadFile(out) == Bytes(input.begin(), input.begin() + 1000));
    }
}

// ---- the input changing under the table ----

// Takes CAP_LEASE out of this thread's effective set while it lives: the
// kernel then grants a lease only on a file this user owns.
class WithoutLeaseCapability {
  public:
    WithoutLeaseCapability() {
        if (::syscall(SYS_capget, &header_, saved_) != 0) {
            return;
        }
        __user_cap_data_struct less[2] = {saved_[0], saved_[1]};
        less[CAP_TO_INDEX(CAP_LEASE)].effective &= ~CAP_TO_MASK(CAP_LEASE);
        dropped_ = ::syscall(SYS_capset, &header_, less) == 0;
    }
    ~WithoutLeaseCapability() {
        if (dropped_) {
            ::syscall(SYS_capset, &header_, saved_);
        }
    }
    WithoutLeaseCapability(const WithoutLeaseCapability&) = delete;
    WithoutLeaseCapability& operator=(const WithoutLeaseCapability&) = delete;

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool dropped_ = false;
};

TEST_F(PosixFileTableTest, InputWrittenByAnotherOpenStopsTheNextCopy) {
    const auto in = folder.Path("in");
    WriteFile(in, Pattern(100));
    const timespec longAgo[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, in.c_str(), longAgo, 0), 0);
    // Another user's file, and no CAP_LEASE: no read lease is granted, and
    // the writer below is not kept out, only noticed.
    if (::chown(in.c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "needs root to give the input to another user";
    }
    const WithoutLeaseCapability noLease;
    table.Open(1, in, FileAccess::Read);
    const int other = ::open(in.c_str(), O_WRONLY); // ignores our lock
    ASSERT_GE(other, 0);
    table.Open(2, folder.Path("out"), FileAccess::Write);
    table.CopyBytes(1, 1, 2, 1, 10);

    ASSERT_EQ(::pwrite(other, "x", 1, 50), 1); // same size
    ASSERT_EQ(::futimens(other, longAgo), 0);  // and the old time, as touch -r leaves it
    EXPECT_EQ(Raised([&] { table.CopyBytes(1, 1, 2, 11, 10); }), FailureCode::InputChanged);
    EXPECT_EQ(table.Length(2), 10);

    table.Close(1);
    table.Open(1, in, FileAccess::Read);
    table.CopyBytes(1, 1, 2, 11, 10); // a fresh open accepts the new content
    ASSERT_EQ(::pwrite(other, "y", 1, 100), 1);
    ::close(other);
    EXPECT_EQ(Raised([&] { table.CopyBytes(1, 1, 2, 21, 10); }), FailureCode::InputChanged);
}

// ---- holes ----

TEST_F(PosixFileTableTest, HolesStayHolesAndTheOutputGetsTheByteLoopsLength) {
    Bytes input(24 << 20, 0);
    std::fill_n(input.begin(), 4096, 1);              // data before the range
    std::fill_n(input.begin() + (12 << 20), 4096, 2); // and inside it
    WriteFile(folder.Path("in"), input, true);
    table.Open(1, folder.Path("in"), FileAccess::Read);
    table.Open(2, folder.Path("out"), FileAccess::Write);
    // Two blocks into a new output, as the copy runs them; both end in a hole.
    table.CopyBytes(1, (1 << 20) + 1, 2, 1, 10 << 20);
    table.CopyBytes(1, (11 << 20) + 1, 2, (10 << 20) + 1, 10 << 20);
    table.Close(2);
    EXPECT_TRUE(ReadFile(folder.Path("out")) ==
                Bytes(input.begin() + (1 << 20), input.end() - (3 << 20)));
    struct stat status {};
    ASSERT_EQ(::stat(folder.Path("out").c_str(), &status), 0);
    EXPECT_LE(status.st_blocks * 512, 2 * 4096); // the data and one file-system block
}

// lseek(2) as a file system that reports fresh data as holes answers.
off_t NoDataAnywhere(int fd, off_t offset, int whence) {
    errno = ENXIO;
    return whence == SEEK_DATA ? -1 : ::lseek(fd, offset, whence);
}

TEST_F(PosixFileTableTest, HolesAreReadBeforeTheyAreSkipped) {
    PosixFileTable lying(runtime::OpenAdmission(), ::pwrite, NoDataAnywhere);
    // Data in the input, then data in the output, reported as holes.
    for (const auto& [input, existing] :
         {std::pair{Pattern(5000), Bytes{}}, std::pair{Bytes(5000, 0), Pattern(5000)}}) {
        WriteFile(folder.Path("in"), input);
        WriteFile(folder.Path("out"), existing);
        lying.Open(1, folder.Path("in"), FileAccess::Read);
        lying.Open(2, folder.Path("out"), FileAccess::Write);
        lying.CopyBytes(1, 1, 2, 1, 5000);
        lying.CloseAll();
        EXPECT_TRUE(ReadFile(folder.Path("out")) == input);
    }
}

// ---- a large copy, and descriptors ----

TEST_F(PosixFileTableTest, LargeCopyMatchesAReferenceBuiltInMemory) {
    const auto in = folder.Path("in");
    const auto out = folder.Path("out");
    const Bytes input = Pattern(10 * (1 << 20) + 4321, 9);
    const Bytes existing = Pattern(4096, 10);
    WriteFile(in, input);
    WriteFile(out, existing);
    const std::int32_t count = 10 * (1 << 20) + 1234;

    table.Open(1, in, FileAccess::Read);
    table.Open(2, out, FileAccess::Write);
    table.CopyBytes(1, 77, 2, 3001, count);
    table.Close(2);

    Bytes expected(existing.begin(), existing.begin() + 3000);
    expected.insert(expected.end(), input.begin() + 76, input.begin() + 76 + count);
    EXPECT_EQ(ReadFile(out).size(), expected.size());
    EXPECT_TRUE(ReadFile(out) == expected);
}

TEST_F(PosixFileTableTest, CopyBetweenFileSystemsFallsBackToTheBuffer) {
    struct stat here {};
    struct stat shm {};
    if (::stat(folder.Path("").c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 ||
        here.st_dev == shm.st_dev || ::access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "needs /dev/shm on another file system";
    }
    const TempFolder elsewhere("/dev/shm");
    const auto in = elsewhere.Path("in");
    const auto out = folder.Path("out");
    const Bytes input = Pattern(2 * (1 << 20) + 3, 11);
    WriteFile(in, input);
    table.Open(1, in, FileAccess::Read);
    table.Open(2, out, FileAccess::Write);
    EXPECT_EQ(Raised([&] { table.CopyBytes(1, 2, 2, 1, 2 * (1 << 20) + 5); }),
              FailureCode::InputEndsBeforeStop);
    table.Close(1);
    EXPECT_TRUE(ReadFile(out) == Bytes(input.begin() + 1, input.end()));
}

// The input written while a copy runs: found after that copy, so the last
// block of a range never ends complete with mixed bytes.
std::string touchedInput;
int touches = 0;
ssize_t TouchInputThenWrite(int fd, const void* bytes, std::size_t size, off_t offset) {
    const timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
    touches += ::utimensat(AT_FDCWD, touchedInput.c_str(), times, 0) == 0 ? 1 : 0;
    return ::pwrite(fd, bytes, size, offset);
}

TEST_F(PosixFileTableTest, InputChangedDuringTheCopyFailsThatCopy) {
    if (::access("/dev/shm", W_OK) != 0) { // a build root may have none
        GTEST_SKIP() << "needs /dev/shm on another file system";
    }
    const TempFolder elsewhere("/dev/shm"); // another file system: the copy goes through writeAt
    touchedInput = elsewhere.Path("in");
    WriteFile(touchedInput, Pattern(4096));
    PosixFileTable touching(runtime::OpenAdmission(), TouchInputThenWrite);
    touching.Open(1, touchedInput, FileAccess::Read);
    touching.Open(2, folder.Path("out"), FileAccess::Write);
    const auto copy = Raised([&] { touching.CopyBytes(1, 1, 2, 1, 4096); });
    if (touches == 0) {
        GTEST_SKIP() << "needs /dev/shm on another file system";
    }
    EXPECT_EQ(copy, FailureCode::InputChanged);
}

TEST_F(PosixFileTableTest, NoDescriptorOutlivesItsOpen) {
    const auto path = folder.Path("file");
    const auto fifo = folder.Path("fifo");
    WriteFile(path, Pattern(10));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int before = OpenDescriptors();
    {
        PosixFileTable other;
        for (int round = 0; round < 3; ++round) {
            EXPECT_TRUE(Raised([&] { table.Open(1, folder.Path("missing"), FileAccess::Read); }));
            EXPECT_TRUE(Raised([&] { table.Open(1, folder.Path(""), FileAccess::Read); }));
            EXPECT_TRUE(Raised([&] { table.Open(1, fifo, FileAccess::Read); }));
            table.Open(1, path, FileAccess::Write);
            EXPECT_TRUE(Raised([&] { table.Open(2, path, FileAccess::Read); }));
            EXPECT_TRUE(Raised([&] { other.Open(1, path, FileAccess::Write); }));
            table.Close(1);
            other.Open(1, path, FileAccess::Read);
            table.Open(2, path, FileAccess::Read);
            other.CloseAll();
            table.Close(2);
            table.Open(static_cast<runtime::FileNumber>(3 + round),
                       folder.Path("new" + std::to_string(round)), FileAccess::Write);
        }
        table.CloseAll();
        other.Open(5, path, FileAccess::Write); // left for the destructor
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

} // namespace
} // namespace tavmar::testfiles
