// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace tavmar::model {

/// A uniformly drawn whole number from `low` to `high`, both included.
std::int64_t Draw(std::mt19937_64& rng, std::int64_t low, std::int64_t high);

/// True with the given chance (0 to 1).
bool Chance(std::mt19937_64& rng, double chance);

/// A field text that means exactly `value`: plain digits, a sign, leading
/// zeros, a fraction that rounds to it (halves included, to the even
/// neighbour), blanks around. Built from the value, never parsed back.
std::string TextFor(std::int32_t value, std::mt19937_64& rng);

/// A field text that is not a signed 32-bit number: empty, blanks only,
/// words, exponents, separators, other digits, values out of range.
std::string NotANumber(std::mt19937_64& rng);

} // namespace tavmar::model
