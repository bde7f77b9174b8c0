#!/usr/bin/env bash
# Cross-builds the platform layer and its tests for Windows with mingw-w64 and runs them
# under Wine, in a fresh Wine prefix of their own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

prefix=$(mktemp -d)
export WINEPREFIX=$prefix WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8
# No Mono or Gecko: nothing here needs them, and their installers would wait for a click.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy ftp_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY ALL_PROXY NO_PROXY || true

cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-windows -j"$(nproc)"

# A persistent server: each test would otherwise wait out the server's linger, and a server
# holding the job's pipes open can hang it.
wineboot -i </dev/null >/dev/null 2>&1
wineserver -p </dev/null >/dev/null 2>&1 &
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$prefix"' EXIT
ctest --test-dir build-windows --output-on-failure
