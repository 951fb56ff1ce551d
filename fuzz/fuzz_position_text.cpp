// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: PositionFromText against a slow exact reference that
// works on the decimal digits as strings. Any disagreement traps.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "copy/PositionText.h"

namespace {

bool Blank(char c) {
    return c == ' ' || c == '\t';
}
bool Digit(char c) {
    return c >= '0' && c <= '9';
}

/// Adds one to a string of decimal digits.
std::string PlusOne(std::string digits) {
    for (std::size_t i = digits.size(); i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return digits;
        }
        digits[i] = '0';
    }
    return "1" + digits;
}

/// The accepted grammar, [blanks][sign]digits[.digits][blanks] with at
/// least one digit, rounded half to even on the exact decimal value.
std::optional<std::int32_t> Reference(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && Blank(text[begin])) {
        ++begin;
    }
    while (end > begin && Blank(text[end - 1])) {
        --end;
    }
    const std::string_view s = text.substr(begin, end - begin);

    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    std::string whole;
    while (i < s.size() && Digit(s[i])) {
        whole += s[i++];
    }
    std::string fraction;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && Digit(s[i])) {
            fraction += s[i++];
        }
    }
    if (i != s.size() || whole.size() + fraction.size() == 0) {
        return std::nullopt;
    }

    // 0.fraction against one half, digit by digit at the same length.
    int versusHalf = -1;
    if (!fraction.empty()) {
        const std::string half = "5" + std::string(fraction.size() - 1, '0');
        versusHalf = fraction.compare(half);
    }
    std::size_t firstNonZero = whole.find_first_not_of('0');
    std::string magnitude = firstNonZero == std::string::npos ? "0" : whole.substr(firstNonZero);
    const bool odd = (magnitude.back() - '0') % 2 == 1;
    if (versusHalf > 0 || (versusHalf == 0 && odd)) {
        magnitude = PlusOne(magnitude);
    }

    const std::string limit = negative ? "2147483648" : "2147483647";
    if (magnitude.size() > limit.size() ||
        (magnitude.size() == limit.size() && magnitude > limit)) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (char c : magnitude) {
        value = value * 10 + (c - '0');
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::int32_t> got = tavmar::copy::PositionFromText(text);
    const std::optional<std::int32_t> expected = Reference(text);
    if (got != expected) {
        std::fprintf(stderr, "PositionFromText disagrees on %zu bytes:", size);
        for (std::size_t i = 0; i < size; ++i) {
            std::fprintf(stderr, " %02x", data[i]);
        }
        std::fprintf(stderr, "\n  got %s%ld, expected %s%ld\n", got ? "" : "nothing ",
                     got ? static_cast<long>(*got) : 0L, expected ? "" : "nothing ",
                     expected ? static_cast<long>(*expected) : 0L);
        __builtin_trap();
    }
    return 0;
}
