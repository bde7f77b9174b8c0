#!/usr/bin/env bash
# The torture run: products on the installed writers' library, harvests and the reference service
# fail at random for a while, then a checker accounts for every session (tests/torture/torture.py
# tells how). The seed is printed; the same seed replays the same schedule as far as timing allows.
# The last quarter of the time runs the sanitizer build's harvests when that build is there.
#
#   scripts/torture.sh [--seed N] [--minutes M] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
WITH_WINDOWS=0 WITH_PACKAGE=0 WITH_CHECKS=0 bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)" --target vintor vintorlog refservice filefaults >/dev/null
asan=()
if [ -x build-asan/bin/vintor ]; then
    cmake --build --preset asan -j"$(nproc)" --target vintor >/dev/null
    asan=(--asan-bin "$PWD/build-asan/bin")
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The products link the library as a product team does: installed, through its pkg-config file.
cmake --install build --component vintorlog --prefix "$work/prefix" >/dev/null
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/share/pkgconfig"
# shellcheck disable=SC2046
gcc -std=c11 -O2 -Wall -Wextra -Werror -pthread tests/torture/product.c -o "$work/product" \
    $(pkg-config --cflags --libs vintorlog)
python3 tests/torture/torture.py --bin "$PWD/build/bin" "${asan[@]}" --product "$work/product" \
    --lib "$work/prefix/lib" --faults "$PWD/build/bin/filefaults.so" "$@"
