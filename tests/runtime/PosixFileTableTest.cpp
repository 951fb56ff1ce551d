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
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
    // Another writer keeps read leases away, which would refuse a writer first.
    const int writer = ::open(path.c_str(), O_WRONLY);
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
    ::close(writer);
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
    table.Open(1, own, FileAccess::Read);
    EXPECT_EQ(table.ReadByte(1, 3), 3);
}

// ---- locks held by another process ----

enum class LockKind { FlockExclusive, LockfWrite, FcntlRead };

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
            } else if (locked) {
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
        bool readAllowed;
    };
    for (const Case c : {Case{LockKind::FlockExclusive, false}, Case{LockKind::LockfWrite, false},
                         Case{LockKind::FcntlRead, true}}) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        const auto path = folder.Path("locked" + std::to_string(static_cast<int>(c.kind)));
        WriteFile(path, Bytes{1, 2, 3});
        LockHolder holder(path, c.kind);
        ASSERT_TRUE(holder.Locked());

        EXPECT_EQ(Raised([&] { table.Open(1, path, FileAccess::Write); }), FailureCode::FileLocked);
        const auto read = Raised([&] { table.Open(1, path, FileAccess::Read); });
        EXPECT_EQ(read, c.readAllowed ? std::nullopt
                                      : std::optional<FailureCode>(FailureCode::FileLocked));
        table.CloseAll();
        EXPECT_EQ(ReadFile(path), (Bytes{1, 2, 3}));
    }
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
    const LoopImage loop(folder, "");
    struct stat status {};
    const auto image = folder.Path("image");
    const auto alias = folder.Path("alias"); // another node for the same device
    if (loop.device.empty() || ::stat(loop.device.c_str(), &status) != 0 ||
        ::mknod(alias.c_str(), S_IFBLK | 0600, status.st_rdev) != 0) {
        GTEST_SKIP() << "needs root, mkfs.ext4, a free loop device and device nodes in /tmp";
    }
    const std::tuple<std::string, std::string, FailureCode> cases[] = {
        {image, loop.device, FailureCode::SameFile},
        {loop.device, alias, FailureCode::SameFile},
        {alias, image, FailureCode::DeviceInUse}, // the image of a bound loop device
    };
    for (const auto& [in, out, refusal] : cases) {
        table.Open(1, in, FileAccess::Read);
        EXPECT_EQ(Raised([&] { table.Open(2, out, FileAccess::Write); }), refusal) << in << out;
        table.CloseAll();
    }
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
    const Bytes input = Pattern(5000);
    WriteFile(in, input);
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

// ---- the input changing under the table ----

TEST_F(PosixFileTableTest, InputWrittenByAnotherOpenStopsTheNextCopy) {
    const auto in = folder.Path("in");
    WriteFile(in, Pattern(100));
    const timespec longAgo[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, in.c_str(), longAgo, 0), 0);
    // Open for writing before the table opens it, so no read lease is granted.
    const int other = ::open(in.c_str(), O_WRONLY); // ignores our lock
    ASSERT_GE(other, 0);
    table.Open(1, in, FileAccess::Read);
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
