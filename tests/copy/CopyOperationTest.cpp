// SPDX-License-Identifier: GPL-3.0-or-later
#include "copy/CopyOperation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fakes/FakeFileTable.h"
#include "fakes/FakeWindow.h"
#include "fakes/TestFiles.h"
#include "runtime/Failure.h"

namespace {

using tavmar::copy::CopyOperation;
using tavmar::copy::kBlockSize;
using tavmar::fakes::FakeControls;
using tavmar::fakes::FakeFileTable;
using tavmar::fakes::FakeMessageBox;
using tavmar::fakes::FakeProgressDisplay;
using tavmar::runtime::Failure;
using tavmar::runtime::FailureCode;
using tavmar::runtime::MessageIcon;
using tavmar::testfiles::LcgPattern;
namespace control = tavmar::runtime::control;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
const std::string kErrorCaption = "Tavmar Velmora 0.2.0 - Error";
const std::string kInfoCaption = "Tavmar Velmora 0.2.0 - Information";
using Calls = std::vector<std::optional<double>>; // of the progress display

class CopyOperationTest : public ::testing::Test {
  protected:
    /// Starts with the given fields and ticks until the operation ends,
    /// returning how many ticks it took.
    int RunToEnd(int maxTicks = 10) {
        op.StartOperation();
        int ticks = 0;
        while (op.State().Operating && ticks < maxTicks) {
            op.OperateTick();
            ++ticks;
        }
        return ticks;
    }

    void ExpectIdle() {
        EXPECT_FALSE(op.State().Operating);
        EXPECT_TRUE(controls.IsEnabled(control::kStart));
        EXPECT_FALSE(controls.IsEnabled(control::kAbort));
        EXPECT_TRUE(controls.IsEnabled(control::kExit));
        EXPECT_FALSE(controls.IsEnabled(control::kOperateTimer));
        EXPECT_EQ(controls.Interval(control::kOperateTimer), 0);
        EXPECT_EQ(files.OpenCount(), 0);
    }

    /// One box was shown, as given; with its informative text when that is given.
    void ExpectOnlyMessage(const std::string& text, MessageIcon icon, const std::string& caption,
                           const std::optional<std::string>& informative = {}) {
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].text, text);
        EXPECT_EQ(messages.shown[0].icon, icon);
        EXPECT_EQ(messages.shown[0].caption, caption);
        EXPECT_EQ(messages.shown[0].informative,
                  informative.value_or(messages.shown[0].informative));
    }

    FakeFileTable files;
    FakeControls controls;
    FakeMessageBox messages;
    FakeProgressDisplay progress;
    CopyOperation op{files, controls, messages, progress};
};

// --- Refused starts -------------------------------------------------------

TEST_F(CopyOperationTest, BackwardRangeIsRefusedBeforeAnyFileIsOpened) {
    files.files["in"] = LcgPattern(100);
    controls.SetFields("in", "10", "9", "out", "1");
    op.StartOperation();
    ExpectOnlyMessage("InputFileStop must be greater than InputFileStart or 0",
                      MessageIcon::Exclamation, kErrorCaption,
                      "Last byte to copy: 9 comes before the first byte to copy, 10; 0 copies "
                      "to the end");
    ExpectIdle();
    EXPECT_EQ(files.files.count("out"), 0u);
}

TEST_F(CopyOperationTest, ConversionFailureInAnyFieldIsRefused) {
    files.files["in"] = LcgPattern(10);
    // The fields, then the first failing field and its text.
    const std::vector<std::vector<std::string>> rows = {
        {"abc", "0", "1", "First byte to copy: \"abc\""},
        {"", "0", "1", "First byte to copy: \"\""},
        {"1", "2147483648", "1", "Last byte to copy: \"2147483648\""},
        {"1", "0", "x", "Position in the output: \"x\""},
        {"1", "0", "", "Position in the output: \"\""},
        {"1", "1e2", "x", "Last byte to copy: \"1e2\""}}; // the first failing field
    for (const auto& row : rows) {
        messages.shown.clear();
        controls.SetFields("in", row[0], row[1], "out", row[2]);
        op.StartOperation();
        ExpectOnlyMessage("Error converting start/stop values", MessageIcon::Exclamation,
                          kErrorCaption,
                          row[3] + " is not a whole number from -2147483648 to 2147483647");
        ExpectIdle();
        EXPECT_EQ(files.files.count("out"), 0u) << row[0] << "," << row[1] << "," << row[2];
    }
}

TEST_F(CopyOperationTest, MissingInputIsRefusedAndTheOutputIsNotCreated) {
    controls.SetFields("missing", "1", "0", "out", "1");
    op.StartOperation();
    ExpectOnlyMessage("Error opening input/output file", MessageIcon::Exclamation, kErrorCaption);
    ExpectIdle();
    EXPECT_EQ(files.files.count("out"), 0u);
    EXPECT_TRUE(progress.calls.empty()); // a refused start is no operation
}

TEST_F(CopyOperationTest, LockedOutputIsRefusedAndTheInputIsClosedAgain) {
    files.files["in"] = LcgPattern(10);
    files.files["out"] = LcgPattern(5, 7);
    files.Open(200, "out", tavmar::runtime::FileAccess::Write); // another holder
    controls.SetFields("in", "1", "0", "out", "1");
    op.StartOperation();
    ExpectOnlyMessage("Error opening input/output file", MessageIcon::Exclamation, kErrorCaption);
    EXPECT_EQ(files.OpenCount(), 1); // only the other holder's
    EXPECT_EQ(files.files["out"], LcgPattern(5, 7));
    EXPECT_TRUE(controls.IsEnabled(control::kStart));
    EXPECT_TRUE(controls.IsEnabled(control::kExit));
}

TEST_F(CopyOperationTest, SameFileAsInputAndOutputIsRefusedUntouched) {
    files.files["same"] = LcgPattern(10);
    controls.SetFields("same", "1", "0", "same", "5");
    op.StartOperation();
    ExpectOnlyMessage("Error opening input/output file", MessageIcon::Exclamation, kErrorCaption);
    ExpectIdle();
    EXPECT_EQ(files.files["same"], LcgPattern(10));
}

TEST_F(CopyOperationTest, NoFreeFileNumberIsAnOpenFailure) {
    files.files["in"] = LcgPattern(10);
    files.beforeEach = [](std::string_view op, auto, auto) {
        if (op == "Next") {
            throw Failure(FailureCode::TooManyFiles);
        }
    };
    controls.SetFields("in", "1", "0", "out", "1");
    op.StartOperation();
    ExpectOnlyMessage("Error opening input/output file", MessageIcon::Exclamation, kErrorCaption);
    ExpectIdle();
}

TEST_F(CopyOperationTest, StartUsesTheFieldsAsTheyWereWhenStartWasPressed) {
    files.files["in"] = LcgPattern(10);
    controls.SetFields("in", "2", "4", "out", "3");
    op.StartOperation();
    ASSERT_TRUE(op.State().Operating);
    const auto log = controls.log;
    controls.SetFields("in", "1", "0", "elsewhere", "1"); // typed during the operation
    op.StartOperation();                                  // a late second click changes nothing
    EXPECT_EQ(controls.log, log);
    EXPECT_EQ(files.OpenCount(), 2);
    EXPECT_TRUE(messages.shown.empty());
    op.OperateTick();
    const auto in = LcgPattern(10);
    EXPECT_EQ(files.files["out"], (std::vector<std::uint8_t>{0, 0, in[1], in[2], in[3]}));
    EXPECT_EQ(files.files.count("elsewhere"), 0u);
}

// --- Button and timer states ----------------------------------------------

TEST_F(CopyOperationTest, StartArmsTheTimerAndSwitchesTheButtonsInOrder) {
    files.files["in"] = LcgPattern(10);
    controls.SetFields("in", "1", "0", "out", "1");
    op.StartOperation();
    EXPECT_TRUE(op.State().Operating);
    EXPECT_EQ(op.State().BlockSize, kBlockSize);
    EXPECT_EQ(op.State().InputFileStop, 10); // 0 became the input's length
    EXPECT_EQ(controls.log,
              (std::vector<std::string>{"cmdStart=off", "cmdExit=off", "tmrOperate.interval=1000",
                                        "tmrOperate=on", "cmdAbort=on"}));
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(files.OpenCount(), 2);
}

// --- Block arithmetic -----------------------------------------------------

constexpr auto kBlock = static_cast<std::size_t>(kBlockSize);

struct TickRow {
    std::int32_t rangeSize;
    std::vector<std::size_t> outputSizeAfterEachTick; // the last tick completes
};

class TickTable : public CopyOperationTest, public ::testing::WithParamInterface<TickRow> {};

TEST_P(TickTable, EachTickCopiesOneBlockAndTheLastCompletes) {
    const auto& row = GetParam();
    files.files["in"] = LcgPattern(static_cast<std::size_t>(row.rangeSize) + 3);
    controls.SetFields("in", "2", std::to_string(row.rangeSize + 1), "out", "1");
    op.StartOperation();
    // The taskbar shows each whole block's share of the range, then nothing.
    Calls shown{0.0};
    for (std::size_t t = 0; t < row.outputSizeAfterEachTick.size(); ++t) {
        ASSERT_TRUE(op.State().Operating) << "tick " << t;
        op.OperateTick();
        shown.push_back(t + 1 < row.outputSizeAfterEachTick.size()
                            ? std::optional(double((t + 1) * kBlock) / row.rangeSize)
                            : std::nullopt);
        EXPECT_EQ(files.files["out"].size(), row.outputSizeAfterEachTick[t]) << "tick " << t;
        const bool last = t + 1 == row.outputSizeAfterEachTick.size();
        EXPECT_EQ(messages.shown.size(), last ? 1u : 0u) << "tick " << t;
    }
    ExpectOnlyMessage("Operation complete", MessageIcon::Information, kInfoCaption);
    ExpectIdle();
    EXPECT_EQ(progress.calls, shown);
    const auto& in = files.files["in"];
    EXPECT_EQ(files.files["out"], std::vector<std::uint8_t>(in.begin() + 1, in.end() - 2));
}

INSTANTIATE_TEST_SUITE_P(Ranges, TickTable,
                         ::testing::Values(TickRow{1, {1}}, TickRow{1000, {1000}},
                                           TickRow{kBlockSize, {kBlock, kBlock}},
                                           TickRow{kBlockSize + 1, {kBlock, kBlock + 1}}));

TEST_F(CopyOperationTest, StopZeroOnEmptyInputCompletesAtOnceAndCreatesTheOutput) {
    files.files["in"] = {};
    controls.SetFields("in", "1", "0", "out", "1");
    EXPECT_EQ(RunToEnd(), 1);
    ExpectOnlyMessage("Operation complete", MessageIcon::Information, kInfoCaption);
    ASSERT_EQ(files.files.count("out"), 1u);
    EXPECT_TRUE(files.files["out"].empty());
    ExpectIdle();
}

TEST_F(CopyOperationTest, StopZeroOnInputShorterThanStartLeavesTheOutputAsItWas) {
    files.files["in"] = LcgPattern(5);
    files.files["out"] = LcgPattern(20, 9);
    controls.SetFields("in", "10", "0", "out", "3");
    EXPECT_EQ(RunToEnd(), 1);
    ExpectOnlyMessage("Operation complete", MessageIcon::Information, kInfoCaption);
    EXPECT_EQ(files.files["out"], LcgPattern(20, 9));
}

TEST_F(CopyOperationTest, OutputStartPastTheEndLeavesAZeroFilledGap) {
    files.files["in"] = LcgPattern(4);
    files.files["out"] = {9, 9};
    controls.SetFields("in", "1", "0", "out", "6");
    RunToEnd();
    const auto in = LcgPattern(4);
    EXPECT_EQ(files.files["out"],
              (std::vector<std::uint8_t>{9, 9, 0, 0, 0, in[0], in[1], in[2], in[3]}));
}

TEST_F(CopyOperationTest, LongerOutputChangesOnlyInsideTheRange) {
    files.files["in"] = LcgPattern(100);
    files.files["out"] = LcgPattern(1000, 3);
    controls.SetFields("in", "11", "20", "out", "501");
    RunToEnd();
    auto expected = LcgPattern(1000, 3);
    const auto in = LcgPattern(100);
    std::copy(in.begin() + 10, in.begin() + 20, expected.begin() + 500);
    EXPECT_EQ(files.files["out"], expected);
}

// --- Abort, late ticks, restart ------------------------------------------

TEST_F(CopyOperationTest, AbortAfterTheFirstTickKeepsExactlyOneBlock) {
    files.files["in"] = LcgPattern(kBlock * 2 + 10);
    controls.SetFields("in", "1", "0", "out", "1");
    op.StartOperation();
    op.OperateTick();
    op.AbortOperation();
    EXPECT_TRUE(messages.shown.empty());
    ExpectIdle();
    EXPECT_EQ(progress.calls, (Calls{0.0, double(kBlock) / (kBlock * 2 + 10), std::nullopt}));
    const auto& in = files.files["in"];
    EXPECT_EQ(files.files["out"], std::vector<std::uint8_t>(in.begin(), in.begin() + kBlockSize));

    op.OperateTick(); // a tick that was already pending
    EXPECT_EQ(files.files["out"].size(), kBlock);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(CopyOperationTest, ATickWhileTheCompletionBoxIsOpenDoesNothing) {
    files.files["in"] = LcgPattern(3);
    int writes = 0;
    files.beforeEach = [&](std::string_view what, auto, auto) { writes += what == "Write"; };
    messages.whileShown = [&](const auto&) { op.OperateTick(); };
    controls.SetFields("in", "1", "0", "out", "1");
    RunToEnd();
    EXPECT_EQ(writes, 3);
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(CopyOperationTest, RestartAfterCompletionCarriesNothingOver) {
    files.files["a"] = LcgPattern(50, 1);
    files.files["b"] = LcgPattern(30, 2);
    controls.SetFields("a", "1", "0", "outA", "1");
    RunToEnd();
    const auto& s = op.State();
    EXPECT_EQ(s.BlockSize, 0);
    EXPECT_EQ(s.InputFileNumber, 0);
    EXPECT_EQ(s.OutputFileNumber, 0);
    EXPECT_EQ(s.InputFileStart, 0);
    EXPECT_EQ(s.InputFileStop, 0);
    EXPECT_EQ(s.Progress, 0);
    EXPECT_EQ(s.OutputFileStart, 0);
    EXPECT_TRUE(s.InputFileName.empty());
    EXPECT_TRUE(s.OutputFileName.empty());

    controls.SetFields("b", "1", "0", "outB", "1");
    RunToEnd();
    EXPECT_EQ(files.files["outB"], LcgPattern(30, 2));
    EXPECT_EQ(files.files["outA"], LcgPattern(50, 1));
    EXPECT_EQ(messages.shown.size(), 2u);
}

// --- Failures while copying -----------------------------------------------

TEST_F(CopyOperationTest, WriteFailureEndsTheOperationAndKeepsTheBytesBeforeIt) {
    files.files["in"] = LcgPattern(100);
    files.beforeEach = [](std::string_view what, auto, std::int32_t position) {
        if (what == "Write" && position == 41) {
            throw Failure(FailureCode::DeviceError); // which file tells only the table
        }
    };
    controls.SetFields("in", "1", "0", "out", "1");
    EXPECT_EQ(RunToEnd(), 1);
    ExpectOnlyMessage("Error #57 (Device error) occurred while copying", MessageIcon::Exclamation,
                      kErrorCaption, "Output file out: Device error");
    ExpectIdle();
    EXPECT_EQ(progress.calls, (Calls{0.0, std::nullopt}));
    const auto in = LcgPattern(100);
    EXPECT_EQ(files.files["out"], std::vector<std::uint8_t>(in.begin(), in.begin() + 40));
}

TEST_F(CopyOperationTest, StopPastTheInputsEndCopiesWhatThereIsThenSaysSo) {
    files.files["in"] = LcgPattern(10);
    controls.SetFields("in", "3", "50", "out", "1");
    RunToEnd();
    ExpectOnlyMessage("Error #62 (Input ends before the stop position) occurred while copying",
                      MessageIcon::Exclamation, kErrorCaption,
                      "Input file in: Input ends before the stop position");
    ExpectIdle();
    const auto in = LcgPattern(10);
    EXPECT_EQ(files.files["out"], std::vector<std::uint8_t>(in.begin() + 2, in.end()));
}

TEST_F(CopyOperationTest, StartPositionsOfZeroOrBelowFailWithoutWriting) {
    files.files["in"] = LcgPattern(10);
    for (const auto& [inStart, outStart] : std::vector<std::pair<std::string, std::string>>{
             {"0", "1"}, {"-3", "1"}, {"1", "0"}, {"1", "-7"}}) {
        messages.shown.clear();
        files.files.erase("out");
        controls.SetFields("in", inStart, "5", "out", outStart);
        RunToEnd();
        ExpectOnlyMessage("Error #63 (Bad file position) occurred while copying",
                          MessageIcon::Exclamation, kErrorCaption,
                          (inStart == "1" ? "Output file out" : "Input file in") +
                              std::string(": Bad file position"));
        ExpectIdle();
        EXPECT_TRUE(files.files["out"].empty()) << inStart << " " << outStart;
    }
}

/// A table whose input at high positions is made up and whose high output
/// writes are recorded, so positions near 2^31 need no 2 GiB of memory.
class FarPositionFileTable : public FakeFileTable {
  public:
    std::vector<std::pair<std::int32_t, std::uint8_t>> farWrites;

    std::uint8_t ReadByte(tavmar::runtime::FileNumber n, std::int32_t position) override {
        if (position > 1000) {
            return static_cast<std::uint8_t>(position);
        }
        return FakeFileTable::ReadByte(n, position);
    }
    void WriteByte(tavmar::runtime::FileNumber n, std::int32_t position,
                   std::uint8_t value) override {
        if (position > 1000) {
            farWrites.emplace_back(position, value);
            return;
        }
        FakeFileTable::WriteByte(n, position, value);
    }
};

class FarPositionTest : public ::testing::Test {
  protected:
    FarPositionFileTable files;
    FakeControls controls;
    FakeMessageBox messages;
    CopyOperation op{files, controls, messages};

    void Run(const std::string& start, const std::string& stop, const std::string& outStart) {
        files.files["in"] = LcgPattern(10);
        controls.SetText(control::kInputFile, "in");
        controls.SetText(control::kInputFileStart, start);
        controls.SetText(control::kInputFileStop, stop);
        controls.SetText(control::kOutputFile, "out");
        controls.SetText(control::kOutputFileStart, outStart);
        op.StartOperation();
        for (int t = 0; t < 3 && op.State().Operating; ++t) {
            op.OperateTick();
        }
        ASSERT_FALSE(op.State().Operating);
        ASSERT_EQ(messages.shown.size(), 1u);
    }
};

TEST_F(FarPositionTest, StopAtTheLargestPositionCompletesNormally) {
    Run("2147483645", "2147483647", "2001");
    EXPECT_EQ(messages.shown[0].text, "Operation complete");
    EXPECT_EQ(files.farWrites, (std::vector<std::pair<std::int32_t, std::uint8_t>>{
                                   {2001, std::uint8_t(2147483645)},
                                   {2002, std::uint8_t(2147483646)},
                                   {2003, std::uint8_t(2147483647)}}));
}

TEST_F(FarPositionTest, RangeEndingAtTheLargestOutputPositionCompletes) {
    Run("2001", "2003", std::to_string(kMax - 2));
    EXPECT_EQ(messages.shown[0].text, "Operation complete");
    EXPECT_EQ(files.farWrites.size(), 3u);
    EXPECT_EQ(files.farWrites.back().first, kMax);
}

TEST_F(FarPositionTest, OutputPositionPastTheLargestFailsBeforeWritingThere) {
    Run("2001", "2005", std::to_string(kMax - 2));
    EXPECT_EQ(messages.shown[0].text, "Error #6 (Position overflow) occurred while copying");
    EXPECT_EQ(messages.shown[0].informative, "Output file out: Position overflow");
    ASSERT_EQ(files.farWrites.size(), 3u);
    EXPECT_EQ(files.farWrites.back().first, kMax);
    EXPECT_EQ(files.OpenCount(), 0);
}

// --- Failures while tearing down ------------------------------------------

TEST_F(CopyOperationTest, CloseFailuresAreReportedOnceAndEveryFileIsStillClosed) {
    files.files["in"] = LcgPattern(10);
    controls.SetFields("in", "1", "0", "out", "1");
    op.StartOperation();
    const auto input = op.State().InputFileNumber;
    const auto output = op.State().OutputFileNumber;
    files.beforeEach = [input](std::string_view what, auto number, auto) {
        if (what == "Close") {
            throw Failure(number == input ? FailureCode::DeviceError : FailureCode::DiskFull);
        }
    };
    op.OperateTick();
    // The first failure only, and no "Operation complete" after it.
    ExpectOnlyMessage("Error #57 (Device error) occured while terminating operation",
                      MessageIcon::Exclamation, kErrorCaption, "Input file in: Device error");
    EXPECT_EQ(files.closed, (std::vector<tavmar::runtime::FileNumber>{input, output}));
    ExpectIdle(); // every number is free again, so Start and Exit are back
    EXPECT_EQ(op.State().InputFileNumber, 0);
    EXPECT_EQ(op.State().OutputFileNumber, 0);

    messages.shown.clear();
    op.OperateTick(); // nothing more happens
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(CopyOperationTest, OutputCloseFailureWithholdsTheCompletionMessage) {
    files.files["in"] = LcgPattern(10);
    controls.SetFields("in", "1", "0", "out", "1");
    op.StartOperation();
    const auto output = op.State().OutputFileNumber;
    files.beforeEach = [output](std::string_view what, auto number, auto) {
        if (what == "Close" && number == output) {
            throw Failure(FailureCode::DiskFull);
        }
    };
    op.OperateTick();
    ExpectOnlyMessage("Error #61 (Disk full) occured while terminating operation",
                      MessageIcon::Exclamation, kErrorCaption);
}

TEST_F(CopyOperationTest, FlushFailureAtTheEndIsACopyFailure) {
    files.files["in"] = LcgPattern(10);
    files.beforeEach = [](std::string_view what, auto number, auto) {
        if (what == "Flush" || (what == "Close" && number == 2)) {
            throw Failure(FailureCode::DeviceError);
        }
    };
    controls.SetFields("in", "1", "0", "out", "1");
    RunToEnd();
    ExpectOnlyMessage("Error #57 (Device error) occurred while copying", MessageIcon::Exclamation,
                      kErrorCaption, "Output file out: Device error");
    ExpectIdle();
}

TEST_F(CopyOperationTest, TimerFailureOnAbortLeavesAbortUsableToTryAgain) {
    files.files["in"] = LcgPattern(kBlock + 5);
    controls.SetFields("in", "1", "0", "out", "1");
    op.StartOperation();
    op.OperateTick();
    bool failOnce = true;
    controls.beforeChange = [&](std::string_view name) {
        if (name == control::kOperateTimer && failOnce) {
            failOnce = false;
            throw Failure(FailureCode::SystemError, "timer refused");
        }
    };
    op.AbortOperation();
    ExpectOnlyMessage("Error #99 (timer refused) occured while terminating operation",
                      MessageIcon::Exclamation, kErrorCaption, ""); // no file to name
    EXPECT_EQ(progress.calls, (Calls{0.0, double(kBlock) / (kBlock + 5), std::nullopt}));
    EXPECT_FALSE(op.State().Operating);
    EXPECT_EQ(files.OpenCount(), 0); // the files are closed all the same
    EXPECT_FALSE(controls.IsEnabled(control::kStart));
    const auto written = files.files["out"].size();
    op.OperateTick(); // the timer is still on, but the tick does nothing
    EXPECT_EQ(files.files["out"].size(), written);

    op.AbortOperation(); // Abort disabled itself first, so this is the user trying again
    EXPECT_EQ(messages.shown.size(), 1u);
    ExpectIdle();
}

} // namespace
