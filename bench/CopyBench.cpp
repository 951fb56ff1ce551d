// SPDX-License-Identifier: GPL-3.0-or-later
// Copies the same 10 MiB range three ways, on one file system with a warm
// page cache: through the file table, with a plain pread/pwrite loop and a
// 1 MiB buffer, and with bare copy_file_range(2).

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
#include <unistd.h>

#include "runtime/PosixFileTable.h"

namespace {

constexpr std::int32_t kCopyBytes = 10485760;
constexpr std::size_t kBufferBytes = std::size_t{1} << 20;

// A temp folder with the input (pseudo-random bytes) and one output per
// benchmark, all made once and removed at exit.
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
        std::vector<std::uint8_t> bytes(kCopyBytes);
        std::uint64_t x = 88172645463325252ull;
        for (auto& b : bytes) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            b = static_cast<std::uint8_t>(x);
        }
        const int fd = ::open(Input().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != kCopyBytes) {
            throw std::runtime_error("cannot write the input");
        }
        ::close(fd);
    }
    ~Files() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    std::string Input() const { return (folder_ / "input").string(); }
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

} // namespace

BENCHMARK(BM_TickCopy)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PreadPwrite1MiB)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyFileRange)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
