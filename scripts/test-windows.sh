#!/usr/bin/env bash
# Builds the whole tool for 64-bit Windows (mingw-w64 against the static Qt of scripts/qt-mingw.sh)
# and runs its tests under Wine, in a Wine prefix of their own: the platform, format, merge, filter
# and store tests as Windows programs, and the Linux test_run driving vintor.exe and logwriter.exe
# against the Linux reference service, nginx and tinyproxy on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
WITH_PACKAGE=0 WITH_CHECKS=0 bash scripts/setup.sh
qt=$(bash scripts/qt-mingw.sh)

# The Linux side: the test program that drives the Windows binaries, and the peers it starts.
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)" --target test_run refservice
cmake --preset windows -DQT_MINGW_PREFIX="$qt" -DVINTOR_HOST_BIN_DIR="$PWD/build/bin" >/dev/null
cmake --build --preset windows -j"$(nproc)"

source scripts/wine-prefix.sh
created_prefix=""
case "$WINEPREFIX" in /tmp/vintor-wine.*) created_prefix=$WINEPREFIX ;; esac
trap 'wineserver -k >/dev/null 2>&1 || true; [ -z "$created_prefix" ] || rm -rf "$created_prefix"' EXIT
# The Windows test programs' own temporary folder.
windows_temp=$(mktemp -d)
export WINETEMP
WINETEMP=$(windows_path "$windows_temp")
# One at a time: the Windows programs share the prefix's registry and application data.
ctest --preset windows -j1
