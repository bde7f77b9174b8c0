#!/usr/bin/env bash
# The torture run: products on the installed writers' library, harvests and the reference service
# fail at random for a while, then a checker accounts for every session (tests/torture/torture.py
# tells how). The seed is printed; the same seed replays the same schedule as far as timing allows.
# The last quarter of the time runs the sanitizer build's harvests when that build is there.
#
#   scripts/torture.sh [--windows] [--seed N] [--minutes M] [--keep]
#
# --windows: the Windows programs under Wine, in a Wine prefix of their own: products on the
# installed vintorlog.dll, vintorw.exe as the scheduled task starts it, parts held by other programs.
set -euo pipefail
cd "$(dirname "$0")/.."
windows=0
if [ "${1:-}" = --windows ]; then
    windows=1
    shift
fi
WITH_WINDOWS=$windows WITH_PACKAGE=0 WITH_CHECKS=0 bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)" --target vintor vintorlog refservice filefaults >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ $windows = 1 ]; then
    qt=$(bash scripts/qt-mingw.sh)
    cmake --preset windows -DQT_MINGW_PREFIX="$qt" -DVINTOR_HOST_BIN_DIR="$PWD/build/bin" >/dev/null
    cmake --build --preset windows -j"$(nproc)" --target vintorw vintorlog fileholder >/dev/null
    # The products link vintorlog.dll as a product team does: installed, through its import library.
    cmake --install build-windows --component vintorlog --prefix "$work/prefix" >/dev/null
    mkdir "$work/bin"
    cp build-windows/bin/vintorw.exe build-windows/bin/fileholder.exe "$work/prefix/bin/vintorlog.dll" "$work/bin/"
    # shellcheck disable=SC2046
    x86_64-w64-mingw32-gcc -std=c11 -O2 -Wall -Wextra -Werror -pthread -static tests/torture/product.c \
        -o "$work/bin/product.exe" $(PKG_CONFIG_LIBDIR="$work/prefix/lib/pkgconfig" pkg-config --cflags vintorlog) \
        "$work/prefix/lib/libvintorlog.dll.a"
    export WINEPREFIX=$work/wine
    source scripts/wine-prefix.sh
    trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
    python3 tests/torture/torture.py --windows --bin "$work/bin" --service "$PWD/build/bin/refservice" \
        --product "$work/bin/product" --lib "$work/bin" "$@"
    exit
fi

asan=()
if [ -x build-asan/bin/vintor ]; then
    cmake --build --preset asan -j"$(nproc)" --target vintor >/dev/null
    asan=(--asan-bin "$PWD/build-asan/bin")
fi
# The products link the library as a product team does: installed, through its pkg-config file.
cmake --install build --component vintorlog --prefix "$work/prefix" >/dev/null
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/share/pkgconfig"
# shellcheck disable=SC2046
gcc -std=c11 -O2 -Wall -Wextra -Werror -pthread tests/torture/product.c -o "$work/product" \
    $(pkg-config --cflags --libs vintorlog)
python3 tests/torture/torture.py --bin "$PWD/build/bin" "${asan[@]}" --product "$work/product" \
    --lib "$work/prefix/lib" --faults "$PWD/build/bin/filefaults.so" "$@"
