// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavmar::model {

using Bytes = std::vector<std::uint8_t>;

/// Bytes per tick, written out here rather than taken from the product.
inline constexpr std::int64_t kModelBlock = 10'485'760;

/// What the output path names before the operation.
enum class OutputKind {
    Missing,       // nothing there yet: created if the input opens
    Existing,      // a regular file with `output` as its content
    SameAsInput,   // the input's own path: refused at open
    MissingFolder, // a path inside a folder that does not exist: refused at open
    Directory,     // an existing folder: refused at open
};

/// One operation as the user sets it up. A field whose text is not a number
/// is an empty optional.
struct ModelCase {
    bool inputExists = true;
    Bytes input;
    OutputKind outputKind = OutputKind::Missing;
    Bytes output; // the content before, for OutputKind::Existing
    std::optional<std::int32_t> start;
    std::optional<std::int32_t> stop;
    std::optional<std::int32_t> outputStart;
    /// Abort once this many ticks have run, if the operation still runs then;
    /// below 0 means never.
    int abortAfter = -1;
};

enum class ModelIcon { None, Error, Information };

/// What the user sees afterwards.
struct ModelOutcome {
    std::string message; // empty when no box is shown
    ModelIcon icon = ModelIcon::None;
    /// True when the output path holds a regular file afterwards that the
    /// operation opened (created or kept); false when the output path is left
    /// exactly as it was before.
    bool outputOpened = false;
    Bytes output; // the whole output file, when outputOpened
    /// Ticks that run before the operation ends or is aborted; 0 for refusals.
    int ticks = 0;
    bool aborted = false;
};

/// Computes the outcome from the stated rules alone, byte by byte in the
/// order a plain read-then-write loop meets them.
ModelOutcome Predict(const ModelCase& c);

} // namespace tavmar::model
