// SPDX-License-Identifier: GPL-3.0-or-later
#include "CopyModel.h"

#include <algorithm>

namespace tavmar::model {

namespace {

constexpr std::int64_t kLargest = 2'147'483'647;

/// A failure met by the byte loop: which byte (0-based within the range)
/// and the message it ends with.
struct ByteFailure {
    std::int64_t index = 0;
    int number = 0;
    std::string description;
};

std::optional<ByteFailure> FirstFailure(std::int64_t S, std::int64_t stop, std::int64_t O,
                                        std::int64_t L) {
    const std::int64_t n = stop - S + 1;
    std::optional<ByteFailure> read;
    if (S <= 0) {
        read = ByteFailure{0, 63, "Bad file position"};
    } else if (stop > L) {
        read = ByteFailure{std::max(S, L + 1) - S, 62, "Input ends before the stop position"};
    }
    std::optional<ByteFailure> write;
    if (O <= 0) {
        write = ByteFailure{0, 63, "Bad file position"};
    } else if (O + n - 1 > kLargest) {
        write = ByteFailure{kLargest - O + 1, 6, "Position overflow"};
    }
    // Each byte is read before it is written, so on the same byte the read wins.
    std::optional<ByteFailure> first = read;
    if (write && (!first || write->index < first->index)) {
        first = write;
    }
    if (first && first->index >= n) {
        return std::nullopt;
    }
    return first;
}

ModelOutcome Refusal(const std::string& text) {
    ModelOutcome r;
    r.message = text;
    r.icon = ModelIcon::Error;
    return r;
}

} // namespace

ModelOutcome Predict(const ModelCase& c) {
    if (!c.start || !c.stop || !c.outputStart) {
        return Refusal("Error converting start/stop values");
    }
    const std::int64_t S = *c.start;
    const std::int64_t E = *c.stop;
    const std::int64_t O = *c.outputStart;
    if (E != 0 && E < S) {
        return Refusal("InputFileStop must be greater than InputFileStart or 0");
    }
    if (!c.inputExists || c.outputKind == OutputKind::SameAsInput ||
        c.outputKind == OutputKind::MissingFolder || c.outputKind == OutputKind::Directory) {
        return Refusal("Error opening input/output file");
    }

    const auto L = static_cast<std::int64_t>(c.input.size());
    const std::int64_t stop = E == 0 ? L : E;
    const std::int64_t n = stop - S + 1; // bytes in the range; 0 or below: none

    ModelOutcome r;
    r.outputOpened = true;
    if (c.outputKind == OutputKind::Existing) {
        r.output = c.output;
    }

    // The tick (0-based) that ends the operation: the one holding the failing
    // byte, or the one whose block reaches past the stop. A range of exactly
    // k blocks takes k full ticks and one more that finds nothing left.
    const std::optional<ByteFailure> failure = n > 0 ? FirstFailure(S, stop, O, L) : std::nullopt;
    const std::int64_t endTick =
        failure ? failure->index / kModelBlock : (n > 0 ? n / kModelBlock : 0);

    std::int64_t written = 0;
    if (c.abortAfter >= 0 && c.abortAfter <= endTick) {
        r.aborted = true;
        r.ticks = c.abortAfter;
        written = std::min<std::int64_t>(n, c.abortAfter * kModelBlock);
    } else {
        r.ticks = static_cast<int>(endTick + 1);
        if (failure) {
            written = failure->index;
            r.message = "Error #" + std::to_string(failure->number) + " (" + failure->description +
                        ") occurred while copying";
            r.icon = ModelIcon::Error;
        } else {
            written = std::max<std::int64_t>(n, 0);
            r.message = "Operation complete";
            r.icon = ModelIcon::Information;
        }
    }

    if (written > 0) {
        // Input byte S + i lands at output position O + i (both 1-based); a
        // gap before O reads as zeros.
        const auto end = static_cast<std::size_t>(O - 1 + written);
        if (r.output.size() < end) {
            r.output.resize(end, 0);
        }
        std::copy_n(c.input.begin() + (S - 1), written, r.output.begin() + (O - 1));
    }
    return r;
}

} // namespace tavmar::model
