// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>

#include "runtime/FileTable.h"

namespace tavmar::copy {

/// Bytes copied per timer tick while an operation runs.
inline constexpr std::int32_t kBlockSize = 10 * 1024 * 1024;

/// Milliseconds between two ticks of the copy timer.
inline constexpr int kTickInterval = 1000;

/// Everything the one running copy operation needs between Start and its
/// end. Positions are 1-based; InputFileStop is inclusive.
struct OperationState {
    bool Operating = false;
    std::int32_t BlockSize = 0;
    std::string InputFileName;
    runtime::FileNumber InputFileNumber = runtime::kNoFile;
    std::int32_t InputFileStart = 0;
    std::int32_t InputFileStop = 0;
    std::int32_t Progress = 0;
    std::string OutputFileName;
    runtime::FileNumber OutputFileNumber = runtime::kNoFile;
    std::int32_t OutputFileStart = 0;
};

} // namespace tavmar::copy
