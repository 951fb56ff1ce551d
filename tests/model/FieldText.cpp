// SPDX-License-Identifier: GPL-3.0-or-later
#include "FieldText.h"

#include <array>
#include <string_view>

namespace tavmar::model {

std::int64_t Draw(std::mt19937_64& rng, std::int64_t low, std::int64_t high) {
    if (high <= low) {
        return low;
    }
    const auto span = static_cast<std::uint64_t>(high - low) + 1;
    return low + static_cast<std::int64_t>(rng() % span);
}

bool Chance(std::mt19937_64& rng, double chance) {
    return static_cast<double>(rng() >> 11) * 0x1.0p-53 < chance;
}

namespace {

std::string Blanks(std::mt19937_64& rng) {
    static constexpr std::array<std::string_view, 6> kBlanks = {"", "", " ", "\t", "  ", " \t "};
    return std::string(kBlanks[static_cast<std::size_t>(Draw(rng, 0, kBlanks.size() - 1))]);
}

/// Digits of a magnitude, sometimes with leading zeros; an integer part of 0
/// may be left out entirely when a fraction follows.
std::string IntegerPart(std::uint64_t m, std::mt19937_64& rng, bool fractionFollows) {
    if (m == 0 && fractionFollows && Chance(rng, 0.4)) {
        return "";
    }
    std::string digits = std::to_string(m);
    if (Chance(rng, 0.1)) {
        digits.insert(0, static_cast<std::size_t>(Draw(rng, 1, 3)), '0');
    }
    return digits;
}

/// A text whose value rounds (half to even) to the magnitude `m`.
std::string MagnitudeText(std::uint64_t m, std::mt19937_64& rng) {
    switch (Draw(rng, 0, 9)) {
    case 0:
    case 1:
    case 2:
        return IntegerPart(m, rng, false);
    case 3: { // a point with nothing or zeros after it; ".": not a number
        const std::string integer = IntegerPart(m, rng, true);
        return integer + "." + std::string(Draw(rng, integer.empty() ? 1 : 0, 3), '0');
    }
    case 4: // below a half: rounds down to m
        return IntegerPart(m, rng, true) + "." +
               std::array<const char*, 4>{"4", "49", "4999999999999999999",
                                          "0001"}[Draw(rng, 0, 3)];
    case 5: // above a half of m - 1: rounds up to m
        if (m >= 1) {
            return IntegerPart(m - 1, rng, true) + "." +
                   std::array<const char*, 4>{"6", "51", "500000000000000000001",
                                              "9999"}[Draw(rng, 0, 3)];
        }
        return IntegerPart(m, rng, false);
    case 6: // an exact half: to the even neighbour
    case 7:
        if (m % 2 == 0) {
            if (m >= 1 && Chance(rng, 0.5)) {
                return IntegerPart(m - 1, rng, true) + (Chance(rng, 0.5) ? ".5" : ".50000");
            }
            return IntegerPart(m, rng, true) + (Chance(rng, 0.5) ? ".5" : ".500");
        }
        return IntegerPart(m, rng, true) + ".0";
    default:
        return std::string(Draw(rng, 1, 2), '0') + std::to_string(m);
    }
}

} // namespace

std::string TextFor(std::int32_t value, std::mt19937_64& rng) {
    const std::int64_t wide = value;
    const auto magnitude = static_cast<std::uint64_t>(wide < 0 ? -wide : wide);
    std::string sign;
    // "-0" is its own case: merged with the first, it would change the order of draws.
    // NOLINTNEXTLINE(bugprone-branch-clone)
    if (value < 0) {
        sign = "-";
    } else if (Chance(rng, 0.1)) {
        sign = "+";
    } else if (value == 0 && Chance(rng, 0.2)) {
        sign = "-";
    }
    return Blanks(rng) + sign + MagnitudeText(magnitude, rng) + Blanks(rng);
}

std::string NotANumber(std::mt19937_64& rng) {
    static constexpr std::array<std::string_view, 40> kTexts = {
        "",
        " ",
        "\t",
        "abc",
        "1e3",
        "1E3",
        "0x10",
        "1,000",
        "1 2",
        "--1",
        "+-1",
        ".",
        "+",
        "-",
        "+.",
        "1..2",
        "1.2.3",
        "\xd9\xa1",     // Arabic-Indic one
        "\xef\xbc\x91", // fullwidth one
        "1\n",
        "\n1",
        "12a",
        "a12",
        "1\r",
        "\v1",
        "- 1",
        "+ 1",
        "1-",
        "1_000",
        "2147483648",
        "-2147483649",
        "2147483647.5",
        "-2147483648.51",
        "99999999999999999999",
        "4294967297",
        "NaN",
        "inf",
        "2.5e0",
        "0b101",
        "\u00a01", // no-break space before
    };
    return std::string(kTexts[static_cast<std::size_t>(Draw(rng, 0, kTexts.size() - 1))]);
}

} // namespace tavmar::model
