// SPDX-License-Identifier: GPL-3.0-or-later
// A long session in one process: 1,000 operations of every kind (completed,
// refused for each reason, failed while copying, aborted) through one set of
// copy actions on the real file table. No descriptor may be left behind and
// the resident memory may not creep up.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "FaultRig.h"

namespace tavmar::faults {
namespace {

using runtime::FailureCode;
using testfiles::Pattern;
using testfiles::ReadFile;
using testfiles::TempFolder;
using testfiles::WriteFile;

constexpr int kOperations = 1000;
constexpr int kWarmUp = 50;
constexpr long kResidentGrowthKiB = 2048;

TEST(LongUseTest, ThousandOperationsLeaveNoDescriptorAndNoMemoryBehind) {
    const TempFolder folder;
    const std::string in = folder.Path("in");
    const std::string out = folder.Path("out");
    const std::string lockedOut = folder.Path("locked");
    const std::string dir = folder.Path("dir");
    const Bytes input = Pattern(8192, 1);
    WriteFile(in, input);
    WriteFile(lockedOut, Pattern(10));
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);

    CopyRig rig;
    struct Kind {
        const char* name;
        std::function<void()> run; // sets the fields, starts, ends the operation
        std::string message;       // "" for none
    };
    const auto startAndTick = [&](const std::string& i, const std::string& a, const std::string& b,
                                  const std::string& o, const std::string& at) {
        rig.controls.SetFields(i, a, b, o, at);
        rig.op.StartOperation();
        rig.TickToEnd();
    };
    int round = 0;
    const std::vector<Kind> kinds = {
        {"complete",
         [&] {
             startAndTick(in, std::to_string(1 + round % 100), "4000", out,
                          std::to_string(1 + round % 300));
         },
         "Operation complete"},
        {"not a number", [&] { startAndTick(in, "1x", "0", out, "1"); },
         "Error converting start/stop values"},
        {"stop before start", [&] { startAndTick(in, "10", "5", out, "1"); },
         "InputFileStop must be greater than InputFileStart or 0"},
        {"missing input", [&] { startAndTick(folder.Path("missing"), "1", "0", out, "1"); },
         kOpenError},
        {"directory as output", [&] { startAndTick(in, "1", "0", dir, "1"); }, kOpenError},
        {"locked output", [&] { startAndTick(in, "1", "0", lockedOut, "1"); }, kOpenError},
        {"same file", [&] { startAndTick(in, "1", "0", in, "1"); }, kOpenError},
        {"input ends before the stop", [&] { startAndTick(in, "1", "9000", out, "1"); },
         CopyError(FailureCode::InputEndsBeforeStop)},
        {"full disk", [&] { startAndTick(in, "1", "100", "/dev/full", "1"); },
         CopyError(FailureCode::DiskFull)},
        {"aborted",
         [&] {
             rig.controls.SetFields(in, "1", "0", out, "1");
             rig.op.StartOperation();
             rig.op.AbortOperation();
         },
         ""},
    };

    // Another open description holds the lock, as another program would.
    const int lockHolder = ::open(lockedOut.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lockHolder, 0);
    ASSERT_EQ(::flock(lockHolder, LOCK_SH), 0);

    int descriptors = 0;
    [[maybe_unused]] long resident = 0;
    for (round = 0; round < kOperations; ++round) {
        if (round == kWarmUp) {
            descriptors = OpenDescriptors();
            resident = ResidentKiB();
        }
        const Kind& kind = kinds[round % kinds.size()];
        rig.messages.shown.clear();
        kind.run();
        const bool ended =
            rig.Idle() && (kind.message.empty() ? rig.messages.shown.empty()
                                                : rig.messages.shown.size() == 1 &&
                                                      rig.messages.shown[0].text == kind.message);
        ASSERT_TRUE(ended) << "operation " << round << " (" << kind.name << "): "
                           << (rig.messages.shown.empty() ? "no message"
                                                          : rig.messages.shown[0].text);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer holds freed memory back on purpose; there its leak
    // checker answers this question instead.
    const long grown = ResidentKiB() - resident;
    EXPECT_LT(grown, kResidentGrowthKiB) << "VmRSS grew by " << grown << " KiB";
#endif
    ::close(lockHolder);

    // The last completed copy is intact.
    const int last = (kOperations - 1) / 10 * 10;
    const std::size_t from = last % 100;
    const std::size_t at = last % 300;
    const Bytes written = ReadFile(out);
    ASSERT_GE(written.size(), at + 4000 - from);
    EXPECT_TRUE(std::equal(input.begin() + from, input.begin() + 4000,
                           written.begin() + static_cast<std::ptrdiff_t>(at)));
}

} // namespace
} // namespace tavmar::faults
