// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The build defines these from the project's version (CMakeLists.txt), the
// one place the version is written.
#if !defined(TAVMAR_VERSION_MAJOR) || !defined(TAVMAR_VERSION_MINOR) ||                            \
    !defined(TAVMAR_VERSION_REVISION)
#error "TAVMAR_VERSION_MAJOR, _MINOR and _REVISION must come from the build"
#endif

namespace tavmar::runtime {

/// The program's version, as the runtime reports it.
struct ProgramVersion {
    int major;
    int minor;
    int revision;
};

/// The project's version as the build gives it; the package, the desktop
/// entry and the man page carry the same numbers.
inline constexpr ProgramVersion kProgramVersion{TAVMAR_VERSION_MAJOR, TAVMAR_VERSION_MINOR,
                                                TAVMAR_VERSION_REVISION};

} // namespace tavmar::runtime
