// SPDX-License-Identifier: GPL-3.0-or-later
#include "copy/PositionText.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using tavmar::copy::PositionFromText;

struct Accepted {
    const char* text;
    std::int32_t value;
};

class PositionTextAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(PositionTextAccepts, GivesTheRoundedValue) {
    const auto& row = GetParam();
    EXPECT_EQ(PositionFromText(row.text), std::optional<std::int32_t>(row.value))
        << "text: \"" << row.text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Table, PositionTextAccepts,
    ::testing::Values(
        Accepted{"1", 1}, Accepted{"0", 0}, Accepted{"007", 7}, Accepted{"  42\t", 42},
        Accepted{"+5", 5}, Accepted{"-5", -5}, Accepted{"2.5", 2}, Accepted{"3.5", 4},
        Accepted{" -2.5 ", -2}, Accepted{"-3.5", -4}, Accepted{"0.5", 0}, Accepted{"-0.5", 0},
        Accepted{"1.49999999999999999999", 1}, Accepted{"2.50000000000000000001", 3},
        Accepted{"2.500000", 2}, Accepted{"2.6", 3}, Accepted{"5.", 5}, Accepted{".5", 0},
        Accepted{".51", 1}, Accepted{"2147483647", 2147483647},
        Accepted{"2147483647.4", 2147483647}, Accepted{"-2147483648", -2147483647 - 1},
        Accepted{"-2147483648.5", -2147483647 - 1}, Accepted{"00000000000000000000012", 12}));

class PositionTextRefuses : public ::testing::TestWithParam<const char*> {};

TEST_P(PositionTextRefuses, GivesNothing) {
    EXPECT_EQ(PositionFromText(GetParam()), std::nullopt) << "text: \"" << GetParam() << "\"";
}

INSTANTIATE_TEST_SUITE_P(Table, PositionTextRefuses,
                         ::testing::Values("", "   ", "abc", "12abc", "1 2", "--1", "+-1", "+", "-",
                                           ".", "1.2.3", "1e3", "0x10", "1,000", "2147483648",
                                           "2147483647.5", "-2147483649", "-2147483648.51",
                                           "99999999999999999999", "1\n",
                                           "\xc2\xa0"
                                           "1"));

} // namespace
