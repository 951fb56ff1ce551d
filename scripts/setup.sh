#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages that are missing, through sudo when not root,
# on Debian 12 and Debian 13 alike. Sourced by ./run and ./test.
set -euo pipefail

# What the program needs to build and run: a C++ compiler, CMake, Ninja and
# Qt's base development files (Widgets, D-Bus; the X11 platform plugin comes
# with them), and XCB's header for the window manager's close requests.
# ./run installs only these.
TAVMAR_PROGRAM_PACKAGES=(
    g++ cmake ninja-build qt6-base-dev libxcb1-dev
)

# What the tests, the fuzzing run, the static checks and the package build
# add. ./test installs these as well. "a|b" takes the first of the names that
# the release has: the clang runtime's package is libclang-rt-dev on Debian 13
# and on updated Debian 12 machines, libclang-rt-14-dev on older ones.
TAVMAR_TEST_PACKAGES=(
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth xdotool x11-utils python3-xlib hicolor-icon-theme
    desktop-file-utils
    build-essential dpkg-dev debhelper
    clang "libclang-rt-dev|libclang-rt-14-dev"
    clang-tidy cppcheck
    strace procps python3 fonts-dejavu-core
    file lintian appstream man-db
    qt6-wayland weston dbus-daemon dbus-bin autopkgtest
    mount e2fsprogs util-linux xfsprogs
)

# Prints each of the given entries none of whose names is installed.
tavmar_missing_packages() {
    local entry name
    for entry in "$@"; do
        local installed=no
        IFS='|' read -r -a names <<<"$entry"
        for name in "${names[@]}"; do
            if [[ "$(dpkg-query -W -f='${Status}\n' "$name" 2>/dev/null)" == *"install ok installed"* ]]; then
                installed=yes
                break
            fi
        done
        [ "$installed" = yes ] || printf '%s\n' "$entry"
    done
}

# Prints the first name of the entry that apt can install; fails naming the
# entry when none can be.
tavmar_choose_package() {
    local name
    IFS='|' read -r -a names <<<"$1"
    for name in "${names[@]}"; do
        # Read whole first: grep -q would stop apt-cache early, which
        # pipefail counts as a failure.
        if grep -qE '^ +Candidate: [^(]' <<<"$(LC_ALL=C apt-cache policy "$name" 2>/dev/null)"; then
            printf '%s\n' "$name"
            return 0
        fi
    done
    echo "setup: no package of \"$1\" can be installed on this machine" >&2
    return 1
}

# Installs whichever of the given entries (default: every package the tests
# need) are missing.
tavmar_install_missing() {
    local wanted=("$@")
    [ "${#wanted[@]}" -ne 0 ] || wanted=("${TAVMAR_PROGRAM_PACKAGES[@]}" "${TAVMAR_TEST_PACKAGES[@]}")
    local missing
    mapfile -t missing < <(tavmar_missing_packages "${wanted[@]}")
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    local chosen=() entry name
    for entry in "${missing[@]}"; do
        name=$(tavmar_choose_package "$entry") || return 1
        chosen+=("$name")
    done
    echo "Installing: ${chosen[*]}"
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${chosen[@]}"
}

# Builds the program alone, without the tests and the benchmark.
tavmar_build_program() {
    cmake --preset program >/dev/null
    cmake --build --preset program
}

# Builds the program, its tests and the benchmark.
tavmar_build() {
    cmake --preset default >/dev/null
    cmake --build --preset default
}
