#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages the build and the tests need, only those that
# are missing, through sudo when not root. Sourced by ./run and ./test.
set -euo pipefail

TAVMAR_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libgl1-mesa-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth xdotool x11-utils
    desktop-file-utils
    dpkg-dev
    clang libclang-rt-14-dev
    clang-tidy cppcheck
    strace procps python3 fonts-dejavu-core
    file lintian appstream man-db
    qt6-wayland weston dbus-daemon dbus-bin
    mount e2fsprogs
)

tavmar_missing_packages() {
    local p
    for p in "${TAVMAR_PACKAGES[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            printf '%s\n' "$p"
        fi
    done
}

tavmar_install_missing() {
    local missing
    mapfile -t missing < <(tavmar_missing_packages "$@")
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    echo "Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

tavmar_build() {
    cmake --preset default >/dev/null
    cmake --build --preset default
}
