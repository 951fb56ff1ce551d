# SPDX-License-Identifier: GPL-3.0-or-later
#
# With TAVMAR_DEB_BUILDFLAGS on, the compiler and linker get the flags a
# Debian package build uses: dpkg-buildflags with every hardening feature
# (fortify, stack protector, format checks, relro and bind-now; the compiler
# makes position-independent executables anyway).  Included before project().
# The flags are set again at every configure, so a package tree never keeps
# stale ones; change them the Debian way, through dpkg-buildflags'
# environment (DEB_CXXFLAGS_APPEND, DEB_BUILD_OPTIONS, ...).
if(NOT TAVMAR_DEB_BUILDFLAGS)
    return()
endif()

find_program(TAVMAR_DPKG_BUILDFLAGS dpkg-buildflags)
mark_as_advanced(TAVMAR_DPKG_BUILDFLAGS)
if(NOT TAVMAR_DPKG_BUILDFLAGS)
    message(FATAL_ERROR "TAVMAR_DEB_BUILDFLAGS needs dpkg-buildflags (package dpkg-dev)")
endif()

# Runs dpkg-buildflags --get <flag> from the source folder, whose path its
# -ffile-prefix-map takes out of the binary.
function(tavmar_deb_buildflag flag out)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${TAVMAR_DPKG_BUILDFLAGS} --get ${flag}
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
        OUTPUT_VARIABLE value
        OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "dpkg-buildflags --get ${flag} failed: ${status}")
    endif()
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

tavmar_deb_buildflag(CXXFLAGS deb_cxxflags)
tavmar_deb_buildflag(CPPFLAGS deb_cppflags)
tavmar_deb_buildflag(LDFLAGS deb_ldflags)

# CMake has no preprocessor flags of its own; debhelper adds them to CXXFLAGS.
set(CMAKE_CXX_FLAGS "${deb_cppflags} ${deb_cxxflags}"
    CACHE STRING "Flags for the C++ compiler, from dpkg-buildflags" FORCE)
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS "${deb_ldflags}"
        CACHE STRING "Flags for the linker, from dpkg-buildflags" FORCE)
endforeach()
