// SPDX-License-Identifier: GPL-3.0-or-later
#include "fakes/FakeFileTable.h"

#include "runtime/Failure.h"

namespace tavmar::fakes {

using runtime::Failure;
using runtime::FailureCode;
using runtime::FileAccess;
using runtime::FileNumber;

void FakeFileTable::Before(std::string_view op, FileNumber number, std::int32_t position) {
    if (beforeEach) {
        beforeEach(op, number, position);
    }
}

const FakeFileTable::OpenFile& FakeFileTable::Entry(FileNumber number) const {
    auto it = open_.find(number);
    if (it == open_.end()) {
        throw Failure(FailureCode::BadFileNumber);
    }
    return it->second;
}

FileNumber FakeFileTable::NextFreeNumber() {
    Before("Next", 0, 0);
    for (FileNumber n = 1; n <= runtime::kMaxFileNumber; ++n) {
        if (open_.count(n) == 0) {
            return n;
        }
    }
    throw Failure(FailureCode::TooManyFiles);
}

void FakeFileTable::Open(FileNumber number, const std::string& path, FileAccess access) {
    Before("Open", number, 0);
    if (number < 1 || number > runtime::kMaxFileNumber) {
        throw Failure(FailureCode::BadFileNumber);
    }
    if (open_.count(number) != 0) {
        throw Failure(FailureCode::FileAlreadyOpen);
    }
    if (path.empty() || path.find_first_of(std::string_view("\0\n\r", 3)) != std::string::npos) {
        throw Failure(FailureCode::BadFileName);
    }
    for (const auto& [n, f] : open_) {
        if (f.path == path && (access == FileAccess::Write || f.access == FileAccess::Write)) {
            throw Failure(FailureCode::FileLocked);
        }
    }
    if (files.count(path) == 0) {
        if (access == FileAccess::Read) {
            throw Failure(FailureCode::FileNotFound);
        }
        files[path] = {};
    }
    open_[number] = OpenFile{path, access};
}

std::int32_t FakeFileTable::Length(FileNumber number) {
    Before("Length", number, 0);
    return static_cast<std::int32_t>(files.at(Entry(number).path).size());
}

std::uint8_t FakeFileTable::ReadByte(FileNumber number, std::int32_t position) {
    Before("Read", number, position);
    const auto& f = Entry(number);
    if (f.access != FileAccess::Read) {
        throw Failure(FailureCode::BadFileNumber);
    }
    if (position <= 0) {
        throw Failure(FailureCode::BadFilePosition);
    }
    const auto& bytes = files.at(f.path);
    if (static_cast<std::size_t>(position) > bytes.size()) {
        throw Failure(FailureCode::InputEndsBeforeStop);
    }
    return bytes[static_cast<std::size_t>(position) - 1];
}

void FakeFileTable::WriteByte(FileNumber number, std::int32_t position, std::uint8_t value) {
    Before("Write", number, position);
    const auto& f = Entry(number);
    if (f.access != FileAccess::Write) {
        throw Failure(FailureCode::BadFileNumber);
    }
    if (position <= 0) {
        throw Failure(FailureCode::BadFilePosition);
    }
    auto& bytes = files.at(f.path);
    if (static_cast<std::size_t>(position) > bytes.size()) {
        bytes.resize(static_cast<std::size_t>(position), 0);
    }
    bytes[static_cast<std::size_t>(position) - 1] = value;
}

void FakeFileTable::CopyBytes(FileNumber input, std::int32_t inputPosition, FileNumber output,
                              std::int32_t outputPosition, std::int32_t count) {
    const auto out = open_.find(output);
    if (count > 0 && out != open_.end() && files.count(out->second.path) == 0) {
        throw Failure(FailureCode::OutputMoved).About(runtime::FailedFile::Output);
    }
    auto file = runtime::FailedFile::Input; // the side of the step under way
    try {
        for (std::int32_t i = 0; i < count; ++i, file = runtime::FailedFile::Input) {
            const std::uint8_t byte = ReadByte(input, inputPosition + i);
            file = runtime::FailedFile::Output;
            WriteByte(output, outputPosition + i, byte);
        }
    } catch (const Failure& failure) {
        throw failure.About(file);
    }
}

void FakeFileTable::Flush(FileNumber number) {
    Before("Flush", number, 0);
    const auto& f = Entry(number);
    if (f.access == FileAccess::Write && files.count(f.path) == 0) {
        throw Failure(FailureCode::OutputMoved);
    }
}

void FakeFileTable::Close(FileNumber number) {
    closed.push_back(number);
    // Free even when an injected failure follows, as the real table's is.
    const bool wasOpen = open_.erase(number) != 0;
    Before("Close", number, 0);
    if (!wasOpen) {
        throw Failure(FailureCode::BadFileNumber);
    }
}

void FakeFileTable::CloseAll() {
    open_.clear();
}

} // namespace tavmar::fakes
