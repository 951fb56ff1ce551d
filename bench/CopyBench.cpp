// SPDX-License-Identifier: GPL-3.0-or-later
// Copies the same 10 MiB range three ways, on one file system with a warm
// page cache: through the file table, with a plain pread/pwrite loop and a
// 1 MiB buffer, and with bare copy_file_range(2). Then a 100 MiB range
// through the file table two ways: fully allocated, one block a tick, and
// holding 4 KiB of data in holes, into a new file, with what that costs on
// disk.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/PosixFileTable.h"

namespace {

constexpr std::int32_t kCopyBytes = 10485760; // one block of the copy: one tick
constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
constexpr int kRangeBlocks = 10; // the 100 MiB range
constexpr std::int64_t kSparseData = 4096;

// Pseudo-random bytes.
std::vector<std::uint8_t> RandomBytes(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint64_t x = 88172645463325252ull;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

// Writes `bytes` at `offset` of the file at `path`, made `size` bytes long
// first (the rest a hole).
void WriteAt(const std::string& path, std::int64_t size, const std::vector<std::uint8_t>& bytes,
             std::int64_t offset) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, size) != 0 ||
        ::pwrite(fd, bytes.data(), bytes.size(), offset) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("cannot write " + path);
    }
    ::close(fd);
}

// A temp folder with the inputs and one output per benchmark, all made once
// and removed at exit: a 10 MiB and a 100 MiB input of pseudo-random bytes,
// and a 100 MiB input that holds 4 KiB of them in its middle, the rest a
// hole.
class Files {
  public:
    Files() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tavmar-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        folder_ = pattern;
        const std::int64_t range = std::int64_t{kRangeBlocks} * kCopyBytes;
        const auto bytes = RandomBytes(static_cast<std::size_t>(range));
        WriteAt(Input(), kCopyBytes, {bytes.begin(), bytes.begin() + kCopyBytes}, 0);
        WriteAt(Input("input-dense"), range, bytes, 0);
        WriteAt(Input("input-sparse"), range, {bytes.begin(), bytes.begin() + kSparseData},
                range / 2);
    }
    ~Files() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    std::string Input(const char* name = "input") const { return (folder_ / name).string(); }
    std::string Output(const char* name) const { return (folder_ / name).string(); }

  private:
    std::filesystem::path folder_;
};

const Files& TheFiles() {
    static const Files files;
    return files;
}

// Opens a descriptor or fails the benchmark run outright.
int OpenOrDie(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    return fd;
}

void BM_TickCopy(benchmark::State& state) {
    using tavmar::runtime::FileAccess;
    tavmar::runtime::PosixFileTable table;
    table.Open(1, TheFiles().Input(), FileAccess::Read);
    table.Open(2, TheFiles().Output("tick"), FileAccess::Write);
    table.CopyBytes(1, 1, 2, 1, kCopyBytes); // warm the output's pages
    for (auto _ : state) {
        table.CopyBytes(1, 1, 2, 1, kCopyBytes);
    }
    state.SetBytesProcessed(state.iterations() * kCopyBytes);
}

void PreadPwriteOnce(int in, int out, std::uint8_t* buffer) {
    std::int64_t done = 0;
    while (done < kCopyBytes) {
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(kCopyBytes - done, static_cast<std::int64_t>(kBufferBytes)));
        const ssize_t got = ::pread(in, buffer, want, done);
        if (got <= 0) {
            std::exit(1);
        }
        for (ssize_t put = 0; put < got;) {
            const ssize_t n =
                ::pwrite(out, buffer + put, static_cast<std::size_t>(got - put), done + put);
            if (n <= 0) {
                std::exit(1);
            }
            put += n;
        }
        done += got;
    }
}

void BM_PreadPwrite1MiB(benchmark::State& state) {
    const int in = OpenOrDie(TheFiles().Input(), O_RDONLY);
    const int out = OpenOrDie(TheFiles().Output("preadpwrite"), O_WRONLY | O_CREAT);
    auto buffer = std::make_unique<std::uint8_t[]>(kBufferBytes);
    PreadPwriteOnce(in, out, buffer.get());
    for (auto _ : state) {
        PreadPwriteOnce(in, out, buffer.get());
    }
    state.SetBytesProcessed(state.iterations() * kCopyBytes);
    ::close(in);
    ::close(out);
}

void CopyFileRangeOnce(int in, int out) {
    loff_t from = 0;
    loff_t to = 0;
    while (from < kCopyBytes) {
        const ssize_t n =
            ::copy_file_range(in, &from, out, &to, static_cast<std::size_t>(kCopyBytes - from), 0);
        if (n <= 0) {
            std::perror("copy_file_range");
            std::exit(1);
        }
    }
}

void BM_CopyFileRange(benchmark::State& state) {
    const int in = OpenOrDie(TheFiles().Input(), O_RDONLY);
    const int out = OpenOrDie(TheFiles().Output("copyfilerange"), O_WRONLY | O_CREAT);
    CopyFileRangeOnce(in, out);
    for (auto _ : state) {
        CopyFileRangeOnce(in, out);
    }
    state.SetBytesProcessed(state.iterations() * kCopyBytes);
    ::close(in);
    ::close(out);
}

// Copies block `block` (from 0) of the 100 MiB range to the same place.
void CopyBlock(tavmar::runtime::PosixFileTable& table, int block) {
    const std::int32_t first = block * kCopyBytes + 1;
    table.CopyBytes(1, first, 2, first, kCopyBytes);
}

// One tick of a 100 MiB copy between fully allocated files, the blocks in
// turn, the output's pages warm.
void BM_DenseTick(benchmark::State& state) {
    using tavmar::runtime::FileAccess;
    tavmar::runtime::PosixFileTable table;
    table.Open(1, TheFiles().Input("input-dense"), FileAccess::Read);
    table.Open(2, TheFiles().Output("dense"), FileAccess::Write);
    for (int block = 0; block < kRangeBlocks; ++block) {
        CopyBlock(table, block);
    }
    int block = 0;
    for (auto _ : state) {
        CopyBlock(table, block);
        block = (block + 1) % kRangeBlocks;
    }
    state.SetBytesProcessed(state.iterations() * kCopyBytes);
}

// What this process has sent towards storage so far (write_bytes of
// /proc/self/io): counted as pages are dirtied, so the flush is included.
double WrittenBytes() {
    std::FILE* io = std::fopen("/proc/self/io", "r");
    long long value = -1;
    char name[64];
    while (io != nullptr && std::fscanf(io, "%63[^:]: %lld\n", name, &value) == 2 &&
           std::string(name) != "write_bytes") {
    }
    if (io != nullptr) {
        std::fclose(io);
    }
    return static_cast<double>(value);
}

// The 100 MiB range holding 4 KiB of data copied into a new file as the copy
// runs it: ten ticks and the close, which flushes. Per copy: the output's
// allocation (st_blocks), the bytes written (write_bytes) and, to compare,
// the data in the range.
void BM_SparseCopy(benchmark::State& state) {
    using tavmar::runtime::FileAccess;
    const std::string output = TheFiles().Output("sparse");
    double allocated = 0;
    double written = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(output);
        const double writtenBefore = WrittenBytes();
        state.ResumeTiming();
        tavmar::runtime::PosixFileTable table;
        table.Open(1, TheFiles().Input("input-sparse"), FileAccess::Read);
        table.Open(2, output, FileAccess::Write);
        for (int block = 0; block < kRangeBlocks; ++block) {
            CopyBlock(table, block);
        }
        table.Close(2);
        state.PauseTiming();
        written += WrittenBytes() - writtenBefore;
        struct stat status {};
        ::stat(output.c_str(), &status);
        allocated += static_cast<double>(status.st_blocks) * 512;
        state.ResumeTiming();
    }
    using benchmark::Counter;
    state.counters["allocated"] = Counter(allocated, Counter::kAvgIterations, Counter::kIs1024);
    state.counters["written"] = Counter(written, Counter::kAvgIterations, Counter::kIs1024);
    state.counters["data"] = Counter(kSparseData, Counter::kDefaults, Counter::kIs1024);
}

} // namespace

BENCHMARK(BM_TickCopy)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PreadPwrite1MiB)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyFileRange)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DenseTick)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SparseCopy)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
