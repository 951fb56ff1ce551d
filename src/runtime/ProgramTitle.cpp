// SPDX-License-Identifier: GPL-3.0-or-later
#include "runtime/ProgramTitle.h"

#include "runtime/ProgramVersion.h"

namespace tavmar::runtime {

std::string ProgramTitle() {
    const auto& v = runtime::kProgramVersion;
    return "Tavmar Velmora " + std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
           std::to_string(v.revision);
}

} // namespace tavmar::runtime
