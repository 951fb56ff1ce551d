// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavmar::copy {

/// Converts the text of a position field to a signed 32-bit number.
/// Accepts blanks (spaces and tabs) around the number, an optional "+" or
/// "-", decimal digits with an optional "." and fraction ("5.", ".5"); a
/// fraction is rounded to the nearest whole number, a half to the even
/// neighbour, computed exactly on the decimal digits. No exponent, thousands
/// separators or radix prefixes. Returns nothing for empty text, any other
/// text, or a rounded value outside the signed 32-bit range.
std::optional<std::int32_t> PositionFromText(std::string_view text);

} // namespace tavmar::copy
