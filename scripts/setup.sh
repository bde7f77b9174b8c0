#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need, skipping those
# already installed. Works as root or through sudo.
set -euo pipefail

packages=(
    cmake make g++ pkg-config
    qtbase5-dev libboost-dev libsingleapplication-dev libkdsoap-dev zlib1g-dev
    googletest libgtest-dev
    nginx-light tinyproxy openssl
)
# The Windows cross build of the platform layer and its tests under Wine.
cross_packages=(g++-mingw-w64-x86-64-posix wine wine64)

missing() {
    local wanted=()
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || wanted+=("$p")
    done
    echo "${wanted[@]:-}"
}

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

need=$(missing "${packages[@]}")
need_cross=""
if [ "${WITH_WINDOWS:-1}" = 1 ]; then
    need_cross=$(missing "${cross_packages[@]}")
fi
if [ -n "$need$need_cross" ]; then
    "${sudo_cmd[@]}" apt-get update -qq
    export DEBIAN_FRONTEND=noninteractive
    if [ -n "$need" ]; then
        # shellcheck disable=SC2086
        "${sudo_cmd[@]}" -E apt-get install -y -qq $need >/dev/null
    fi
    if [ -n "$need_cross" ]; then
        # shellcheck disable=SC2086
        "${sudo_cmd[@]}" -E apt-get install -y -qq --no-install-recommends $need_cross >/dev/null
    fi
fi
