// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the fault tests share: the real copy actions on the real file table
// (through a decorator that can fail a chosen call part way), fake controls
// and message boxes, and checks of the state every fault must end in.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "copy/CopyOperation.h"
#include "fakes/FakeWindow.h"
#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"
#include "runtime/Failure.h"
#include "runtime/PosixFileTable.h"

namespace tavmar::faults {

using testfiles::Bytes;
using testfiles::OpenDescriptors;
namespace control = runtime::control;

inline const std::string kErrorCaption = "Tavmar Velmora 0.2.0 - Error";
inline const std::string kOpenError = "Error opening input/output file";

/// "Error #N (description) occurred while copying" for a failure number.
inline std::string CopyError(runtime::FailureCode code) {
    return "Error #" + std::to_string(static_cast<int>(code)) + " (" +
           runtime::DescriptionOf(code) + ") occurred while copying";
}

/// VmRSS of this process in KiB, or -1 when /proc does not tell.
inline long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long kib = -1;
            status >> kib;
            return kib;
        }
    }
    return -1;
}

/// Forwards everything to the real table; `copyFault`, when set, is asked
/// before each CopyBytes call (numbered from 1) how many bytes to let
/// through before failing; the rest of that call is replaced by the failure
/// it returns. `flushFault` and `closeFault` fail Flush and Close (after the
/// real Close, so the number is free as the real table promises).
class FaultyFileTable : public runtime::FileTable {
  public:
    struct CopyFault {
        std::int32_t bytesBefore = 0;
        runtime::Failure failure{runtime::FailureCode::DeviceError};
    };
    std::function<std::optional<CopyFault>(int call, std::int32_t count)> copyFault;
    std::function<std::optional<runtime::Failure>(runtime::FileNumber)> flushFault;
    std::function<std::optional<runtime::Failure>(runtime::FileNumber)> closeFault;
    int copyCalls = 0;

    explicit FaultyFileTable(runtime::FileTable& inner) : inner_(inner) {}

    runtime::FileNumber NextFreeNumber() override { return inner_.NextFreeNumber(); }
    void Open(runtime::FileNumber number, const std::string& path,
              runtime::FileAccess access) override {
        inner_.Open(number, path, access);
    }
    std::int32_t Length(runtime::FileNumber number) override { return inner_.Length(number); }
    std::uint8_t ReadByte(runtime::FileNumber number, std::int32_t position) override {
        return inner_.ReadByte(number, position);
    }
    void WriteByte(runtime::FileNumber number, std::int32_t position, std::uint8_t value) override {
        inner_.WriteByte(number, position, value);
    }
    void CopyBytes(runtime::FileNumber input, std::int32_t inputPosition,
                   runtime::FileNumber output, std::int32_t outputPosition,
                   std::int32_t count) override {
        ++copyCalls;
        if (copyFault) {
            if (auto fault = copyFault(copyCalls, count)) {
                inner_.CopyBytes(input, inputPosition, output, outputPosition, fault->bytesBefore);
                throw fault->failure;
            }
        }
        inner_.CopyBytes(input, inputPosition, output, outputPosition, count);
    }
    void Flush(runtime::FileNumber number) override {
        if (flushFault) {
            if (auto failure = flushFault(number)) {
                throw *failure;
            }
        }
        inner_.Flush(number);
    }
    void Close(runtime::FileNumber number) override {
        inner_.Close(number);
        if (closeFault) {
            if (auto failure = closeFault(number)) {
                throw *failure;
            }
        }
    }
    void CloseAll() override { inner_.CloseAll(); }

  private:
    runtime::FileTable& inner_;
};

/// One window's worth of copy actions on real files.
struct CopyRig {
    runtime::PosixFileTable real;
    FaultyFileTable files{real};
    fakes::FakeControls controls;
    fakes::FakeMessageBox messages;
    copy::CopyOperation op{files, controls, messages};

    /// Ticks a started operation until it ends (at most `maxTicks`);
    /// `betweenTicks(n)` runs after tick n while it still operates.
    void TickToEnd(const std::function<void(int)>& betweenTicks = {}, int maxTicks = 20) {
        for (int tick = 1; op.State().Operating && tick <= maxTicks; ++tick) {
            op.OperateTick();
            if (betweenTicks && op.State().Operating) {
                betweenTicks(tick);
            }
        }
    }

    /// Start, Exit on; Abort, the timer off; no operation; no file open.
    bool Idle() const {
        return controls.IsEnabled(control::kStart) && controls.IsEnabled(control::kExit) &&
               !controls.IsEnabled(control::kAbort) &&
               !controls.IsEnabled(control::kOperateTimer) &&
               controls.Interval(control::kOperateTimer) == 0 && !op.State().Operating;
    }

    /// The one message shown was an exclamation box with this text.
    void ExpectOnlyError(const std::string& text) const {
        ASSERT_EQ(messages.shown.size(), 1u)
            << (messages.shown.empty() ? "" : messages.shown[0].text);
        EXPECT_EQ(messages.shown[0].text, text);
        EXPECT_EQ(messages.shown[0].icon, runtime::MessageIcon::Exclamation);
        EXPECT_EQ(messages.shown[0].caption, kErrorCaption);
    }
};

/// `before` with `count` bytes of `input` from 0-based `from` laid over it at
/// 0-based `at` (zeros fill a gap past its end).
inline Bytes Spliced(Bytes before, const Bytes& input, std::size_t from, std::size_t at,
                     std::size_t count) {
    if (before.size() < at + count) {
        before.resize(at + count, 0);
    }
    std::copy(input.begin() + static_cast<std::ptrdiff_t>(from),
              input.begin() + static_cast<std::ptrdiff_t>(from + count),
              before.begin() + static_cast<std::ptrdiff_t>(at));
    return before;
}

/// Compares big buffers without printing them; says where they first differ.
inline ::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    std::size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) {
        ++i;
    }
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                         << ", first difference at byte " << i;
}

} // namespace tavmar::faults
