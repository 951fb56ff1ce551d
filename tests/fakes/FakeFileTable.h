// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/FileTable.h"

namespace tavmar::fakes {

/// An in-memory file table with the real table's rules: 1-based positions,
/// create-on-write without truncation, locks that hold against every other
/// open of the same path, a copy and a flush that fail once the output's
/// path is gone from `files` (the fake knows files by path only, so another
/// file renamed over the output is, to it, the output gone). CopyBytes is
/// literally the byte loop, so it is the reference the real table is checked
/// against.
class FakeFileTable : public runtime::FileTable {
  public:
    /// Files by path; tests put inputs here and read outputs back.
    std::map<std::string, std::vector<std::uint8_t>> files;

    /// Called before every operation with its name ("Next", "Open", "Length",
    /// "Read", "Write", "Flush", "Close") and the number and position it concerns;
    /// a test injects a failure by throwing runtime::Failure from it.
    std::function<void(std::string_view op, runtime::FileNumber number, std::int32_t position)>
        beforeEach;

    /// Every number passed to Close, in order, whether it succeeded or not.
    std::vector<runtime::FileNumber> closed;

    /// How many files are open right now.
    int OpenCount() const { return static_cast<int>(open_.size()); }
    bool IsOpen(runtime::FileNumber number) const { return open_.count(number) != 0; }

    runtime::FileNumber NextFreeNumber() override;
    void Open(runtime::FileNumber number, const std::string& path,
              runtime::FileAccess access) override;
    std::int32_t Length(runtime::FileNumber number) override;
    std::uint8_t ReadByte(runtime::FileNumber number, std::int32_t position) override;
    void WriteByte(runtime::FileNumber number, std::int32_t position, std::uint8_t value) override;
    void CopyBytes(runtime::FileNumber input, std::int32_t inputPosition,
                   runtime::FileNumber output, std::int32_t outputPosition,
                   std::int32_t count) override;
    void Flush(runtime::FileNumber number) override;
    void Close(runtime::FileNumber number) override;
    void CloseAll() override;

  private:
    struct OpenFile {
        std::string path;
        runtime::FileAccess access;
    };
    const OpenFile& Entry(runtime::FileNumber number) const;
    void Before(std::string_view op, runtime::FileNumber number, std::int32_t position);

    std::map<runtime::FileNumber, OpenFile> open_;
};

} // namespace tavmar::fakes
