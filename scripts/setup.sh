#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need, skipping those
# already installed. Works as root, or as a user through sudo.
set -euo pipefail

packages=(
    cmake make g++ pkg-config
    qtbase5-dev libboost-dev libkdsoap-dev zlib1g-dev
    googletest libgtest-dev
    nginx-light tinyproxy openssl strace time
    python3 util-linux e2fsprogs
)
# The Debian package: its dependencies, its checks, the manual page and the systemd units.
package_packages=(dpkg-dev lintian groff-base systemd)
# The fuzz targets (clang with libFuzzer and the sanitizer runtimes) and the format check.
check_packages=(clang-14 libclang-rt-14-dev clang-format-14)
# The Windows build (mingw-w64 with its static zlib; the static Qt comes from scripts/qt-mingw.sh)
# and its tests under Wine; the installer (wixl, with msitools to read and amend it, xmllint to check
# the task definition, osslsigncode to sign the programs and the package and to verify them, unzip
# for the relink kit).
cross_packages=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 xz-utils wixl msitools libxml2-utils
    osslsigncode unzip)

# A package counts only when it is installed: `dpkg -s` also answers for one that was removed
# and left its configuration files behind.
missing() {
    local wanted=()
    for p in "$@"; do
        dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed || wanted+=("$p")
    done
    echo "${wanted[@]:-}"
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo env DEBIAN_FRONTEND=noninteractive "$@"
    fi
}

need=$(missing "${packages[@]}")
if [ "${WITH_PACKAGE:-1}" = 1 ]; then
    need="$need $(missing "${package_packages[@]}")"
    need=${need% }
    need=${need# }
fi
if [ "${WITH_CHECKS:-1}" = 1 ]; then
    need="$need $(missing "${check_packages[@]}")"
    need=${need% }
    need=${need# }
fi
need_cross=""
if [ "${WITH_WINDOWS:-1}" = 1 ]; then
    need_cross=$(missing "${cross_packages[@]}")
    # The packages' SBOMs are checked with Node.js and the npm registry: the machine's own, else Debian's.
    command -v npm >/dev/null || need_cross="$need_cross nodejs npm"
fi
if [ -n "$need$need_cross" ]; then
    export DEBIAN_FRONTEND=noninteractive
    as_root apt-get update -qq
    if [ -n "$need" ]; then
        # shellcheck disable=SC2086
        as_root apt-get install -y -qq $need >/dev/null
    fi
    if [ -n "$need_cross" ]; then
        # shellcheck disable=SC2086
        as_root apt-get install -y -qq --no-install-recommends $need_cross >/dev/null
    fi
fi
