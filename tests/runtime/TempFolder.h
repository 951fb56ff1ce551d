#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/Failure.h"

namespace tavmar::testfiles {

using Bytes = std::vector<std::uint8_t>;

/// A fresh folder under `base`, or else $TMPDIR or /tmp, removed with
/// everything in it.
class TempFolder {
  public:
    explicit TempFolder(std::string base = {}) {
        if (base.empty()) {
            const char* tmpdir = std::getenv("TMPDIR");
            base = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
        }
        std::string pattern = base + "/tavmar-files-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string Path(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// `size` bytes that differ from their neighbours and from any other
/// `seed`, so a shifted or misplaced piece shows.
inline Bytes Pattern(std::size_t size, std::uint32_t seed = 1) {
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

/// The failure `action` raised, or nothing when it returned.
template <typename Action> std::optional<runtime::FailureCode> Raised(Action&& action) {
    try {
        action();
    } catch (const runtime::Failure& failure) {
        return failure.Code();
    }
    return std::nullopt;
}

} // namespace tavmar::testfiles
