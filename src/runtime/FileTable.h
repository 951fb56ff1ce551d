// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>

namespace tavmar::runtime {

/// Names an open file in the file table: 1 to 255; 0 means no file.
using FileNumber = std::int16_t;

inline constexpr FileNumber kNoFile = 0;
inline constexpr FileNumber kMaxFileNumber = 255;

/// How a file is opened. Read access takes a lock that keeps writers out;
/// write access takes a lock that keeps readers and writers out.
enum class FileAccess { Read, Write };

/// The numbered table of open files. Positions are 1-based and signed
/// 32-bit. Every operation raises runtime::Failure when it fails.
class FileTable {
  public:
    virtual ~FileTable() = default;

    /// The lowest number from 1 to 255 not in use; fails with TooManyFiles
    /// when all are in use.
    virtual FileNumber NextFreeNumber() = 0;

    /// Opens `path` in binary mode under `number`. Read access fails on a
    /// missing file; write access creates a missing file and never truncates
    /// an existing one, and a file it created is removed again when the open
    /// then fails. Fails on a bad path (empty, or holding a NUL, a line
    /// break or a carriage return: BadFileName), a number in use, a lock held by
    /// any other open of the same file (this program's own included).
    virtual void Open(FileNumber number, const std::string& path, FileAccess access) = 0;

    /// Length in bytes of the open file; fails with FileTooLarge above
    /// 2,147,483,647 and with NoLength for a file that has none (a character
    /// device such as /dev/zero).
    virtual std::int32_t Length(FileNumber number) = 0;

    /// The byte at 1-based `position`; fails on a position of 0 or below and
    /// with InputEndsBeforeStop past the end of the file.
    virtual std::uint8_t ReadByte(FileNumber number, std::int32_t position) = 0;

    /// Writes `value` at 1-based `position`; the file grows when the position
    /// is past its end. Fails on a position of 0 or below.
    virtual void WriteByte(FileNumber number, std::int32_t position, std::uint8_t value) = 0;

    /// Does exactly what `count` pairs of ReadByte(input, inputPosition + i)
    /// and WriteByte(output, outputPosition + i, byte) would do for i from 0
    /// up, in that order, but in large pieces. On a failure the bytes before
    /// the failing one are written and the failure is raised; a failed read
    /// is marked as the input's and a failed write as the output's
    /// (Failure::File). Fails with InputChanged when another program changed
    /// the input since it was opened, and with OutputMoved when the output's
    /// path no longer names the output (removed, or another file renamed
    /// over it), both looked at before the first byte and after the last.
    /// The caller keeps every position within the signed 32-bit range.
    virtual void CopyBytes(FileNumber input, std::int32_t inputPosition, FileNumber output,
                           std::int32_t outputPosition, std::int32_t count) = 0;

    /// Forces the bytes written to the file onto stable storage, and its
    /// name too when its open created it, then fails with OutputMoved when
    /// the path it was opened under no longer names it (removed, or another
    /// file renamed over it). Does nothing for a file opened for reading; a
    /// character device that cannot be flushed is not.
    virtual void Flush(FileNumber number) = 0;

    /// Closes one number. A file opened for writing is flushed to stable
    /// storage first; a failed flush or close is raised, and the number is
    /// free afterwards in any case. Fails with BadFileNumber when nothing is
    /// open under the number.
    virtual void Close(FileNumber number) = 0;

    /// Closes every open file, never failing: what a close reports is
    /// dropped, since this runs on the way out.
    virtual void CloseAll() = 0;
};

} // namespace tavmar::runtime
