# SPDX-License-Identifier: GPL-3.0-or-later
# Debian package from the install rules.  Built with Debian's flags in a tree
# of its own (the `deb` preset):
#
#   cmake --preset deb && cmake --build --preset deb
#
# gives build-deb/tavmar-velmora_<version>-<revision>_<arch>.deb.  Only what
# has an install rule goes in (the program, its desktop entry, AppStream
# metadata, icons, manual page, copyright, changelogs and lintian overrides);
# the tests and benchmarks have none.

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tavmar-velmora")
set(CPACK_PACKAGE_VENDOR "The Tavmar Velmora developers")
set(CPACK_PACKAGE_CONTACT "The Tavmar Velmora developers <dev@tavmar-velmora.invalid>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "copy a range of bytes from one file into another")
set(CPACK_PACKAGE_DESCRIPTION
"Tavmar Velmora is a small one-window desktop utility. It copies an
inclusive range of bytes, given by its first and last position, out of
one file and writes it into another file at a chosen position, leaving
the bytes around it as they were. The fields are remembered between runs.")

# The package installs under /usr, whatever CMAKE_INSTALL_PREFIX says.
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The Debian revision comes from the newest entry of data/debian/changelog;
# with it the package is not taken for a native one.
set(CPACK_DEBIAN_PACKAGE_RELEASE "${TAVMAR_DEB_REVISION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_COMPRESSION_TYPE "xz")
# Control files and folders get the modes dpkg-deb expects (0644, 0755).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
# Library dependencies (Qt 6, libstdc++, libc) come from dpkg-shlibdeps.  The
# X11 platform plugin Qt loads at run time ships in libqt6gui6, which is among
# them; the Wayland one is separate and only recommended, since Qt falls back
# to X11 (Xwayland) without it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")

find_program(TAVMAR_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TAVMAR_DPKG_SHLIBDEPS)
if(NOT TAVMAR_DPKG_SHLIBDEPS)
    # Without dpkg-dev name the Qt 6 runtime of Debian 12 ourselves.
    message(STATUS "dpkg-shlibdeps not found: package dependencies are set by hand")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6dbus6 (>= 6.4), libqt6core6 (>= 6.4), libc6, libstdc++6")
endif()

# `package_source`: the tracked sources, without build trees or VCS data.
set(CPACK_SOURCE_GENERATOR "TXZ")
set(CPACK_SOURCE_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}")
set(CPACK_SOURCE_IGNORE_FILES
    "/\\.git/"
    "/build[^/]*/"
    "/_CPack_Packages/"
    "\\.deb$")

include(CPack)
