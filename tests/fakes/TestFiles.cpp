// SPDX-License-Identifier: GPL-3.0-or-later
#include "fakes/TestFiles.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tavmar::testfiles {

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) {
    WriteFile(path, Bytes(text.begin(), text.end()));
}

std::string ReadText(const std::string& path) {
    const Bytes bytes = ReadFile(path);
    return {bytes.begin(), bytes.end()};
}

Bytes Pattern(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

Bytes LcgPattern(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return bytes;
}

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

RunOnExit::~RunOnExit() {
    (void)!std::system(command.c_str());
}

// A failed test may still hold a file on the image: it is then unmounted
// lazily, and the detached device is freed once that file is closed. A
// partition outlives its loop device's detach.
LoopImage::LoopImage(const TempFolder& folder, const std::string& options, bool partitioned)
    : in("cd " + folder.Root().string() + " && "), // mkdtemp's: no quoting
      detach{in + "umount mnt 2>/dev/null || umount -l mnt 2>/dev/null; " +
             "[ ! -s loop ] || { delpart $(cat loop) 1 2>/dev/null; losetup -d $(cat loop); }"} {
    const std::string make =
        in + "truncate -s 8M image && mkfs.ext4 -q -E lazy_itable_init=0," +
        "lazy_journal_init=0 image && losetup -f --show image >loop" +
        (partitioned ? " && addpart $(cat loop) 1 2048 8192" : "") +
        (options.empty() ? "" : " && mkdir mnt && mount -o " + options + " $(cat loop) mnt");
    if (std::system(make.c_str()) == 0) {
        std::ifstream(folder.Path("loop")) >> device;
    }
}

} // namespace tavmar::testfiles
