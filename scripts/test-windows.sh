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

# What each program says it is, as inventory and application-control tools and Event Viewer read
# it: the subsystem it was linked for, its version, its manifest and the events' message table.
version=$(sed -n 's/^project(vintor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for program in vintor:CUI vintorw:GUI; do
    exe=build-windows/bin/${program%:*}.exe
    headers=$(x86_64-w64-mingw32-objdump -p "$exe")
    grep -qP "^Subsystem\s+\S+\s+\(Windows ${program#*:}\)$" <<<"$headers" ||
        { echo "test-windows: $exe is not a Windows ${program#*:} program" >&2; exit 1; }
    resources=$(x86_64-w64-mingw32-windres -i "$exe" -O rc)
    for want in 'VALUE "CompanyName", "KALDO Technologies"' 'VALUE "ProductName", "Vintor"' \
        "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
        "VALUE \"OriginalFilename\", \"${program%:*}.exe\"" 'VALUE "FileDescription", "Vintor' \
        'level=""asInvoker""' '>true</longPathAware>' 'supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""' \
        'MessageId = 0xc0000001' 'MessageId = 0xc0000002' 'MessageId = 0xc0000003' 'MessageId = 0xc0000004' \
        'MessageId = 0x8000000a' 'MessageId = 0x8000000b' 'MessageId = 0x8000000c' 'MessageId = 0x8000000d' 'MessageId = 0x8000000e' \
        'MessageId = 0x40000064'; do
        grep -qF -- "$want" <<<"$resources" || { echo "test-windows: $exe has no resource with $want" >&2; exit 1; }
    done
    # Each event's text is its one string, placed whole.
    [ "$(grep -cFx '   %1\n\000' <<<"$resources")" = 10 ] || { echo "test-windows: $exe: message texts" >&2; exit 1; }
done
library_version=$(sed -n 's/^set(VINTORLOG_VERSION \([0-9.]*\))/\1/p' vintorlog/CMakeLists.txt)
resources=$(x86_64-w64-mingw32-windres -i build-windows/bin/vintorlog.dll -O rc)
for want in 'VALUE "CompanyName", "KALDO Technologies"' 'VALUE "OriginalFilename", "vintorlog.dll"' \
    "VALUE \"FileVersion\", \"$library_version\"" "VALUE \"ProductVersion\", \"$version\""; do
    grep -qF -- "$want" <<<"$resources" || { echo "test-windows: vintorlog.dll has no resource with $want" >&2; exit 1; }
done
echo "test-windows: subsystems, versions, manifests and message tables checked"
