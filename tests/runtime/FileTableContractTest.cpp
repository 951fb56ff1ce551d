// SPDX-License-Identifier: GPL-3.0-or-later
// One set of rules checked against the real file table and the in-memory
// fake, so the fake the other tests rely on cannot drift from the real one.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fakes/FakeFileTable.h"
#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"
#include "runtime/PosixFileTable.h"

namespace tavmar::testfiles {
namespace {

using runtime::FailureCode;
using runtime::FileAccess;
using runtime::FileNumber;

constexpr std::int32_t kMiB = 1 << 20;

struct PosixHarness {
    TempFolder folder; // declared first: removed after the table closes
    runtime::PosixFileTable table;

    std::string Path(const std::string& name) const { return folder.Path(name); }
    void Put(const std::string& path, const Bytes& bytes) { WriteFile(path, bytes); }
    Bytes Get(const std::string& path) const { return ReadFile(path); }
    bool Exists(const std::string& path) const { return std::filesystem::exists(path); }
    void Displace(const std::string& path) { // another file renamed over it
        WriteFile(path + ".new", Bytes{4});
        std::filesystem::rename(path + ".new", path);
    }
};

struct FakeHarness {
    fakes::FakeFileTable table;

    std::string Path(const std::string& name) const { return "/fake/" + name; }
    void Put(const std::string& path, const Bytes& bytes) { table.files[path] = bytes; }
    Bytes Get(const std::string& path) const { return table.files.at(path); }
    bool Exists(const std::string& path) const { return table.files.count(path) != 0; }
    void Displace(const std::string& path) { table.files.erase(path); }
};

template <typename Harness> class FileTableContract : public ::testing::Test {
  protected:
    Harness h;
    runtime::FileTable& Table() { return h.table; }
};

struct HarnessNames {
    template <typename T> static std::string GetName(int) {
        return std::is_same_v<T, PosixHarness> ? "Posix" : "Fake";
    }
};

using Implementations = ::testing::Types<PosixHarness, FakeHarness>;
TYPED_TEST_SUITE(FileTableContract, Implementations, HarnessNames);

TYPED_TEST(FileTableContract, WriteOpenCreatesMissingFileAndNeverTruncates) {
    const auto fresh = this->h.Path("fresh");
    const auto kept = this->h.Path("kept");
    this->h.Put(kept, Bytes{1, 2, 3});

    this->Table().Open(1, fresh, FileAccess::Write);
    this->Table().Open(2, kept, FileAccess::Write);
    EXPECT_EQ(this->Table().Length(1), 0);
    EXPECT_EQ(this->Table().Length(2), 3);
    this->Table().Close(1);
    this->Table().Close(2);

    EXPECT_EQ(this->h.Get(fresh), Bytes{});
    EXPECT_EQ(this->h.Get(kept), (Bytes{1, 2, 3}));
}

TYPED_TEST(FileTableContract, ReadOpenOfMissingFileFailsAndCreatesNothing) {
    const auto missing = this->h.Path("missing");
    EXPECT_EQ(Raised([&] { this->Table().Open(1, missing, FileAccess::Read); }),
              FailureCode::FileNotFound);
    EXPECT_FALSE(this->h.Exists(missing));
    // Bad names, refused even for writing: nothing is created under them.
    for (const std::string& bad :
         {std::string(), this->h.Path("pasted\n"), this->h.Path("carriage\rreturn")}) {
        EXPECT_EQ(Raised([&] { this->Table().Open(1, bad, FileAccess::Write); }),
                  FailureCode::BadFileName);
        EXPECT_FALSE(this->h.Exists(bad));
    }
    EXPECT_EQ(this->Table().NextFreeNumber(), 1);
}

TYPED_TEST(FileTableContract, LocksKeepWritersApartAndLetReadersShare) {
    const auto path = this->h.Path("shared");
    this->h.Put(path, Bytes{7});

    this->Table().Open(1, path, FileAccess::Write);
    EXPECT_EQ(Raised([&] { this->Table().Open(2, path, FileAccess::Write); }),
              FailureCode::FileLocked);
    EXPECT_EQ(Raised([&] { this->Table().Open(2, path, FileAccess::Read); }),
              FailureCode::FileLocked);
    EXPECT_EQ(this->Table().NextFreeNumber(), 2);
    this->Table().Close(1);

    this->Table().Open(1, path, FileAccess::Read);
    this->Table().Open(2, path, FileAccess::Read);
    EXPECT_EQ(Raised([&] { this->Table().Open(3, path, FileAccess::Write); }),
              FailureCode::FileLocked);
    EXPECT_EQ(this->Table().ReadByte(1, 1), 7);
    EXPECT_EQ(this->Table().ReadByte(2, 1), 7);
    this->Table().Close(1);
    this->Table().Close(2);
    this->Table().Open(3, path, FileAccess::Write); // free once the readers are gone
}

TYPED_TEST(FileTableContract, NumbersAreHandedOutLowestFirstAndChecked) {
    const auto path = this->h.Path("numbers");
    this->h.Put(path, Bytes{1});
    for (FileNumber n = 1; n <= runtime::kMaxFileNumber; ++n) {
        ASSERT_EQ(this->Table().NextFreeNumber(), n);
        this->Table().Open(n, path, FileAccess::Read);
    }
    EXPECT_EQ(Raised([&] { this->Table().NextFreeNumber(); }), FailureCode::TooManyFiles);
    EXPECT_EQ(Raised([&] { this->Table().Open(7, path, FileAccess::Read); }),
              FailureCode::FileAlreadyOpen);
    this->Table().Close(200);
    this->Table().Close(7);
    EXPECT_EQ(this->Table().NextFreeNumber(), 7);
    EXPECT_EQ(Raised([&] { this->Table().Close(7); }), FailureCode::BadFileNumber);
    EXPECT_EQ(Raised([&] { this->Table().Length(7); }), FailureCode::BadFileNumber);
    EXPECT_EQ(Raised([&] { this->Table().Flush(7); }), FailureCode::BadFileNumber);
    this->Table().Flush(8); // open for reading: nothing to do
    for (FileNumber bad : {FileNumber{0}, FileNumber{-1}, FileNumber{256}}) {
        EXPECT_EQ(Raised([&] { this->Table().Open(bad, path, FileAccess::Read); }),
                  FailureCode::BadFileNumber)
            << bad;
    }
    this->Table().CloseAll();
    EXPECT_EQ(this->Table().NextFreeNumber(), 1);
}

TYPED_TEST(FileTableContract, PositionsAreOneBasedAndWritesPastTheEndGrowWithZeros) {
    const auto in = this->h.Path("in");
    const auto out = this->h.Path("out");
    this->h.Put(in, Bytes{10, 20, 30});
    this->Table().Open(1, in, FileAccess::Read);
    this->Table().Open(2, out, FileAccess::Write);

    EXPECT_EQ(this->Table().ReadByte(1, 1), 10);
    EXPECT_EQ(this->Table().ReadByte(1, 3), 30);
    EXPECT_EQ(Raised([&] { this->Table().ReadByte(1, 4); }), FailureCode::InputEndsBeforeStop);
    for (std::int32_t bad : {0, -1}) {
        EXPECT_EQ(Raised([&] { this->Table().ReadByte(1, bad); }), FailureCode::BadFilePosition);
        EXPECT_EQ(Raised([&] { this->Table().WriteByte(2, bad, 1); }),
                  FailureCode::BadFilePosition);
    }
    // Reading needs a read number, writing a write number.
    EXPECT_EQ(Raised([&] { this->Table().ReadByte(2, 1); }), FailureCode::BadFileNumber);
    EXPECT_EQ(Raised([&] { this->Table().WriteByte(1, 1, 0); }), FailureCode::BadFileNumber);

    this->Table().WriteByte(2, 4, 0xAB);
    this->Table().WriteByte(2, 2, 0xCD);
    this->Table().Flush(2);
    EXPECT_EQ(this->Table().Length(2), 4);
    this->Table().Close(2);
    EXPECT_EQ(this->h.Get(out), (Bytes{0, 0xCD, 0, 0xAB}));
}

TYPED_TEST(FileTableContract, FlushFailsOnceThePathNoLongerNamesTheOutput) {
    const auto in = this->h.Path("in");
    const auto out = this->h.Path("out");
    this->h.Put(in, Bytes{8, 9});
    this->Table().Open(1, in, FileAccess::Read);
    this->Table().Open(2, out, FileAccess::Write);
    this->Table().CopyBytes(1, 1, 2, 1, 1);
    this->Table().Flush(2);
    this->h.Displace(out); // by another program, between two blocks
    EXPECT_EQ(Raised([&] { this->Table().CopyBytes(1, 2, 2, 2, 1); }), FailureCode::OutputMoved);
    EXPECT_EQ(Raised([&] { this->Table().Flush(2); }), FailureCode::OutputMoved);
    this->Table().Close(2);
}

// What `count` pairs of ReadByte/WriteByte leave in the output, and the
// failure that stops them, worked out on plain vectors.
std::pair<Bytes, std::optional<FailureCode>> ByteLoop(const Bytes& input, Bytes output,
                                                      std::int32_t inPos, std::int32_t outPos,
                                                      std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i) {
        if (inPos <= 0 || outPos <= 0) {
            return {output, FailureCode::BadFilePosition};
        }
        const auto from = static_cast<std::size_t>(std::int64_t{inPos} - 1 + i);
        if (from >= input.size()) {
            return {output, FailureCode::InputEndsBeforeStop};
        }
        const auto to = static_cast<std::size_t>(std::int64_t{outPos} - 1 + i);
        output.resize(std::max(output.size(), to + 1), 0);
        output[to] = input[from];
    }
    return {output, std::nullopt};
}

struct CopyCase {
    const char* name;
    std::size_t inputSize;
    std::size_t outputSize; // existing output, 0 for a fresh file
    std::int32_t inPos;
    std::int32_t outPos;
    std::int32_t count;
};

const CopyCase kCopyCases[] = {
    {"one byte", 10, 0, 3, 1, 1},
    {"whole file", 1000, 0, 1, 1, 1000},
    {"just under a piece", kMiB + 7, 0, 7, 1, kMiB - 1},
    {"exactly a piece", kMiB + 7, 0, 3, 2, kMiB},
    {"just over a piece", kMiB + 7, 0, 2, 5, kMiB + 1},
    {"two pieces and a bit", 2 * kMiB + 50, 0, 11, 13, 2 * kMiB + 3},
    {"stops at the end of the input", 100, 0, 90, 1, 20},
    {"stops at the end after a piece", kMiB + 10, 0, 5, 3, 2 * kMiB},
    {"starts past the end of the input", 10, 4, 50, 2, 5},
    {"gap before the output position", 20, 10, 1, 100, 20},
    {"inside a longer output", 2 * std::size_t{kMiB}, 3 * std::size_t{kMiB}, 9, kMiB - 5,
     kMiB + 10},
    {"nothing to copy", 10, 5, 1, 1, 0},
    {"input position zero", 10, 5, 0, 1, 3},
    {"output position negative", 10, 5, 1, -1, 3},
};

TYPED_TEST(FileTableContract, CopyBytesDoesWhatTheByteLoopDoes) {
    int index = 0;
    for (const CopyCase& c : kCopyCases) {
        SCOPED_TRACE(c.name);
        const auto in = this->h.Path("copy-in-" + std::to_string(index));
        const auto out = this->h.Path("copy-out-" + std::to_string(index));
        ++index;
        const Bytes input = Pattern(c.inputSize, 3);
        const Bytes existing = Pattern(c.outputSize, 4);
        this->h.Put(in, input);
        this->h.Put(out, existing);
        const auto [expected, failure] = ByteLoop(input, existing, c.inPos, c.outPos, c.count);

        this->Table().Open(1, in, FileAccess::Read);
        this->Table().Open(2, out, FileAccess::Write);
        EXPECT_EQ(Raised([&] { this->Table().CopyBytes(1, c.inPos, 2, c.outPos, c.count); }),
                  failure);
        this->Table().Close(1);
        this->Table().Close(2);
        EXPECT_TRUE(this->h.Get(out) == expected) << "output differs from the byte loop";
    }
}

TYPED_TEST(FileTableContract, CopyBytesMeetsABadOutputOnlyAfterTheFirstRead) {
    const auto empty = this->h.Path("empty");
    const auto full = this->h.Path("full");
    this->h.Put(empty, {});
    this->h.Put(full, Bytes{1, 2});
    this->Table().Open(1, empty, FileAccess::Read);
    this->Table().Open(2, full, FileAccess::Read);
    EXPECT_EQ(Raised([&] { this->Table().CopyBytes(1, 1, 9, 1, 1); }),
              FailureCode::InputEndsBeforeStop);
    EXPECT_EQ(Raised([&] { this->Table().CopyBytes(2, 1, 9, 1, 1); }), FailureCode::BadFileNumber);
    EXPECT_EQ(Raised([&] { this->Table().CopyBytes(2, 1, 1, 1, 1); }),
              FailureCode::BadFileNumber); // 1 is open, but for reading
    EXPECT_EQ(Raised([&] { this->Table().CopyBytes(9, 1, 2, 1, 1); }), FailureCode::BadFileNumber);
}

} // namespace
} // namespace tavmar::testfiles
