// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Helpers for tests on real files: whole-file reads and writes, byte
// patterns, open descriptor counts, and the failure code an action raised.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fakes/TempFolder.h"
#include "runtime/Failure.h"

namespace tavmar::testfiles {

using Bytes = std::vector<std::uint8_t>;

/// Replaces the file at `path` with `bytes`; throws when that fails.
void WriteFile(const std::string& path, const Bytes& bytes);

/// The whole content of the file at `path`; throws when it cannot be read.
Bytes ReadFile(const std::string& path);

/// WriteFile and ReadFile for text.
void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);

/// `size` bytes that differ from their neighbours and from any other
/// `seed`, so a shifted or misplaced piece shows (xorshift sequence).
Bytes Pattern(std::size_t size, std::uint32_t seed = 1);

/// Like Pattern, from a linear congruential sequence instead; the copy
/// tests were written against this one.
Bytes LcgPattern(std::size_t size, std::uint32_t seed = 1);

/// How many descriptors this process has open (entries of /proc/self/fd,
/// counting the one used to list them).
int OpenDescriptors();

/// The failure `action` raised, or nothing when it returned.
template <typename Action> std::optional<runtime::FailureCode> Raised(Action&& action) {
    try {
        action();
    } catch (const runtime::Failure& failure) {
        return failure.Code();
    }
    return std::nullopt;
}

/// Runs a shell command when it goes out of scope.
struct RunOnExit {
    std::string command;
    ~RunOnExit();
};

/// A loop device over a fresh 8 MiB ext4 image in the folder, mounted on mnt
/// with `options` unless they are empty, and with partition 1 over its bytes
/// from 1 MiB to 5 MiB when `partitioned`; unmounted, the partition removed
/// and detached on the way out. The file loop holds the device's name.
struct LoopImage {
    LoopImage(const TempFolder& folder, const std::string& options, bool partitioned = false);
    std::string in;
    RunOnExit detach;
    std::string device; // empty when it could not be made
};

} // namespace tavmar::testfiles
