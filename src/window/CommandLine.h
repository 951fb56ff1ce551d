// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>

namespace tavmar::window {

/// What the program prints for --help or --version, whichever comes first
/// among the arguments before a "--"; nothing when neither is there. Every
/// other argument is ignored: the program opens its window as without one.
std::optional<std::string> CommandLineAnswer(int argc, const char* const argv[]);

/// Writes the text to standard output and closes it; false, with the reason
/// on standard error, when it cannot be written whole (a full disk, a closed
/// descriptor), so a failed --version never reports success.
bool WriteAnswer(const std::string& text);

} // namespace tavmar::window
