#pragma once

namespace tavmar::runtime {

/// The program's version, as the runtime reports it.
struct ProgramVersion {
    int major;
    int minor;
    int revision;
};

inline constexpr ProgramVersion kProgramVersion{0, 2, 0};

} // namespace tavmar::runtime
