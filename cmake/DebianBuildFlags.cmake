# SPDX-License-Identifier: GPL-3.0-or-later
#
# With TAVMAR_DEB_BUILDFLAGS on, the compiler and linker get the flags a
# Debian package build uses: dpkg-buildflags with every hardening feature
# (fortify, stack protector, format checks, relro and bind-now; the compiler
# makes position-independent executables anyway).  Included before project(),
# so the flags seed CMAKE_CXX_FLAGS and CMAKE_EXE_LINKER_FLAGS on the first
# configure of a build tree, as CXXFLAGS and LDFLAGS from debhelper would.
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
set(CMAKE_CXX_FLAGS_INIT "${deb_cppflags} ${deb_cxxflags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${deb_ldflags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${deb_ldflags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${deb_ldflags}")
