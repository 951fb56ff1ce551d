// SPDX-License-Identifier: GPL-3.0-or-later
// The model checked on hand-worked cases, so a wrong model cannot hide a
// wrong product in the random test.

#include "CopyModel.h"

#include <gtest/gtest.h>

namespace {

using tavmar::model::Bytes;
using tavmar::model::kModelBlock;
using tavmar::model::ModelCase;
using tavmar::model::ModelIcon;
using tavmar::model::OutputKind;
using tavmar::model::Predict;

ModelCase Case(Bytes input, std::int32_t start, std::int32_t stop, std::int32_t outputStart) {
    ModelCase c;
    c.input = std::move(input);
    c.start = start;
    c.stop = stop;
    c.outputStart = outputStart;
    return c;
}

TEST(CopyModelTest, RefusalsLeaveTheOutputAlone) {
    ModelCase c = Case({1, 2, 3}, 1, 0, 1);
    c.stop.reset();
    auto r = Predict(c);
    EXPECT_EQ(r.message, "Error converting start/stop values");
    EXPECT_FALSE(r.outputOpened);

    r = Predict(Case({1, 2, 3}, 3, 2, 1));
    EXPECT_EQ(r.message, "InputFileStop must be greater than InputFileStart or 0");
    EXPECT_FALSE(r.outputOpened);

    c = Case({1, 2, 3}, 1, 0, 1);
    c.outputKind = OutputKind::SameAsInput;
    r = Predict(c);
    EXPECT_EQ(r.message, "Error opening input/output file");
    EXPECT_EQ(r.icon, ModelIcon::Error);
    EXPECT_FALSE(r.outputOpened);
    EXPECT_EQ(r.ticks, 0);
}

TEST(CopyModelTest, RangeOverwritesThePlaceAndKeepsTheRest) {
    ModelCase c = Case({10, 11, 12, 13, 14}, 2, 4, 3);
    c.outputKind = OutputKind::Existing;
    c.output = {1, 2, 3, 4, 5, 6, 7};
    const auto r = Predict(c);
    EXPECT_EQ(r.output, (Bytes{1, 2, 11, 12, 13, 6, 7}));
    EXPECT_EQ(r.message, "Operation complete");
    EXPECT_EQ(r.icon, ModelIcon::Information);
    EXPECT_EQ(r.ticks, 1);
}

TEST(CopyModelTest, OutputStartPastTheEndLeavesZeros) {
    ModelCase c = Case({10, 11}, 1, 0, 5);
    c.outputKind = OutputKind::Existing;
    c.output = {1, 2};
    EXPECT_EQ(Predict(c).output, (Bytes{1, 2, 0, 0, 10, 11}));
}

TEST(CopyModelTest, StopZeroPastAShortInputCreatesAnEmptyOutput) {
    const auto r = Predict(Case({10, 11}, 3, 0, 1));
    EXPECT_TRUE(r.outputOpened);
    EXPECT_TRUE(r.output.empty());
    EXPECT_EQ(r.message, "Operation complete");
}

TEST(CopyModelTest, StopPastTheEndCopiesWhatThereIs) {
    const auto r = Predict(Case({10, 11, 12, 13, 14}, 2, 9, 1));
    EXPECT_EQ(r.output, (Bytes{11, 12, 13, 14}));
    EXPECT_EQ(r.message, "Error #62 (Input ends before the stop position) occurred while copying");
}

TEST(CopyModelTest, BadPositionsWriteNothingAndTheReadComesFirst) {
    auto r = Predict(Case({10, 11}, 0, 2, 1));
    EXPECT_TRUE(r.output.empty());
    EXPECT_EQ(r.message, "Error #63 (Bad file position) occurred while copying");

    r = Predict(Case({10, 11}, 1, 2, -4));
    EXPECT_TRUE(r.output.empty());
    EXPECT_EQ(r.message, "Error #63 (Bad file position) occurred while copying");

    // The first byte cannot be read before the bad output position is met.
    r = Predict(Case({10, 11}, 3, 4, 0));
    EXPECT_EQ(r.message, "Error #62 (Input ends before the stop position) occurred while copying");
}

TEST(CopyModelTest, ExactBlockTakesAnEmptyTickToComplete) {
    Bytes input(static_cast<std::size_t>(kModelBlock), 7);
    ModelCase c = Case(input, 1, 0, 1);
    auto r = Predict(c);
    EXPECT_EQ(r.ticks, 2);
    EXPECT_EQ(r.output.size(), input.size());

    c.abortAfter = 1;
    r = Predict(c);
    EXPECT_TRUE(r.aborted);
    EXPECT_TRUE(r.message.empty());
    EXPECT_EQ(r.output.size(), input.size());

    c.abortAfter = 2;
    EXPECT_EQ(Predict(c).message, "Operation complete");
}

TEST(CopyModelTest, FailureInTheSecondBlockKeepsTheFirst) {
    Bytes input(static_cast<std::size_t>(kModelBlock + 3), 7);
    ModelCase c = Case(input, 1, static_cast<std::int32_t>(kModelBlock + 9), 1);
    auto r = Predict(c);
    EXPECT_EQ(r.ticks, 2);
    EXPECT_EQ(r.output.size(), input.size());
    EXPECT_EQ(r.icon, ModelIcon::Error);

    c.abortAfter = 1;
    r = Predict(c);
    EXPECT_TRUE(r.aborted);
    EXPECT_EQ(r.output.size(), static_cast<std::size_t>(kModelBlock));
}

} // namespace
