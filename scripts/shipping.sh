#!/usr/bin/env bash
# Checks what the packages owe those who receive them: the relink kit of the Windows build links
# vintor.exe and vintorw.exe again against the project's Qt and the result harvests under Wine; the
# MSI installs the notices, the Debian package its own, the writers' library's component (both
# builds) its own; Qt's third-party code is found in the programs, and a piece carried without a
# line in the list, or a line for a piece not carried, fails the build; every SBOM is valid
# CycloneDX 1.5 and holds its components, the Windows ones the SHA-256 of the files shipped, the
# Debian one every package its Depends names. Reads the Debian package that scripts/package.sh made
# (CI runs it first).
set -euo pipefail
cd "$(dirname "$0")/.."
WITH_PACKAGE=0 WITH_CHECKS=0 bash scripts/setup.sh
qt=$(bash scripts/qt-mingw.sh)
cmake --preset windows -DQT_MINGW_PREFIX="$qt" >/dev/null
cmake --build --preset windows -j"$(nproc)" --target relink-kit msi logwriter vintorlog_shipping >/dev/null
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)" --target vintorlog_shipping >/dev/null
version=$(sed -n 's/^project(vintor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=$(ls build-package/vintor_"$version"_*.deb)
work=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fail() { echo "shipping.sh: $*" >&2; exit 1; }

# The kit, relinked against the project's Qt: the right subsystems, and a harvest of a two-part log.
unzip -q "build-windows/vintor-$version-relink-kit.zip" -d "$work"
mkdir "$work/relinked"
(cd "$work/relinked" && sh "$work/vintor-$version-relink-kit/relink.sh" "$qt")
for program in vintor:CUI vintorw:GUI; do
    headers=$(x86_64-w64-mingw32-objdump -p "$work/relinked/${program%:*}.exe")
    grep -qP "^Subsystem\s+\S+\s+\(Windows ${program#*:}\)$" <<<"$headers" ||
        fail "the relinked ${program%:*}.exe is not a Windows ${program#*:} program"
done
export WINEPREFIX=$work/wine
source scripts/wine-prefix.sh
mkdir "$work/temp"
export WINETEMP
WINETEMP=$(windows_path "$work/temp")
logs="$work/temp/KALDO Technologies/Zadazevi Rerevarazu Logs"
wine build-windows/bin/logwriter.exe --no-kaldo --admin --parts 2 </dev/null >/dev/null 2>&1 || fail "the log writer failed"
[ "$(find "$logs" -maxdepth 1 -name 'usage.*.xml' | wc -l)" = 2 ] || fail "the log writer wrote no two-part log"
wine "$work/relinked/vintor.exe" -forKALDO </dev/null >"$work/run.out" 2>&1 || fail "the relinked vintor.exe failed: $(cat "$work/run.out")"
[ -z "$(find "$logs" -maxdepth 1 -type f)" ] && [ -d "$logs/processedForKALDO" ] ||
    fail "the relinked vintor.exe did not harvest the log"
echo "shipping: the relink kit makes programs that harvest"

# The notices: the MSI's beside the programs, the Debian package's in its documentation.
msiextract -C "$work/msi" "build-windows/vintor-$version-x64.msi" >/dev/null
notices="$work/msi/KALDO Technologies/NOTICES.txt"
[ -f "$notices" ] || fail "the MSI installs no NOTICES.txt"
while IFS='|' read -r package name _ licence _; do
    name=$(echo "$name" | xargs) licence=$(echo "$licence" | xargs)
    case "$package" in
        "windows "*) grep -qF -- "- $name " "$notices" && grep -qxF "  Licence: $licence" "$notices" ||
            fail "the MSI's notices lack $name ($licence)" ;;
    esac
done < <(grep -v '^#' packaging/components.list build-windows/bin/qt-components.list)
for text in "GNU LESSER GENERAL PUBLIC LICENSE" "GNU GENERAL PUBLIC LICENSE" "GCC RUNTIME LIBRARY EXCEPTION" \
    "Upstream-Name: mingw-w64" "Upstream-Name: zlib" "are published together with this package" "offers them in writing" \
    "Boost Software License - Version 1.0" "Mozilla Public License Version 2.0" "UNICODE, INC. LICENSE AGREEMENT"; do
    grep -qF "$text" "$notices" || fail "the MSI's notices lack \"$text\""
done
# Qt's code: the list must name each piece the programs carry, and only those.
qt_check() {
    python3 packaging/qt-attribution.py build-qt-mingw/qt-source/tree "$qt" "$1" "$work/qt.list" "$work/qt-notices" \
        build-windows/bin/vintor.map build-windows/bin/vintorw.map 2>&1 || true
}
grep -v '^qt | psl |' packaging/components.list > "$work/without-psl.list"
qt_check "$work/without-psl.list" | grep -qF 'psl (The Public Suffix List, MPL-2.0 under src/corelib/io) is in vintor.exe and vintorw.exe through libQt5Core.a(qtldurl.o), but has no line' ||
    fail "a piece of Qt carried without a line in the list went unnoticed"
{ cat packaging/components.list; echo 'qt | harfbuzz | MIT'; } > "$work/with-harfbuzz.list"
qt_check "$work/with-harfbuzz.list" | grep -qF 'harfbuzz (src/3rdparty/harfbuzz) is listed, but no program carries it' ||
    fail "a line for a piece of Qt no program carries went unnoticed"
sed 's/^qt | tinycbor | MIT$/qt | tinycbor | BSD-3-Clause/' packaging/components.list > "$work/wrong-licence.list"
qt_check "$work/wrong-licence.list" | grep -qF 'tinycbor is listed under BSD-3-Clause, but Qt gives it MIT' ||
    fail "a piece of Qt listed under another licence than Qt's went unnoticed"
echo "shipping: the list names exactly the Qt code the programs carry"

dpkg-deb -x "$deb" "$work/deb"
cp "$work/deb/usr/share/doc/vintor/NOTICES" "$work/NOTICES.deb" || fail "the Debian package installs no NOTICES"
echo "shipping: the notices are in both packages"

# The SBOMs, checked against CycloneDX 1.5's schema (from the npm registry, kept in build-sbom).
modules=build-sbom/node_modules
[ -d "$modules/ajv-formats-draft2019" ] || npm install --prefix build-sbom --no-audit --no-fund --silent \
    @cyclonedx/cyclonedx-library@10.3.0 ajv@8.17.1 ajv-formats@3.0.1 ajv-formats-draft2019@1.6.1 >/dev/null
windows_bom="build-windows/vintor-$version-x64.cdx.json"
debian_bom="${deb%.deb}.cdx.json"
node scripts/sbom.cjs "$modules" "$windows_bom" > "$work/windows.tsv" || fail "$windows_bom is not valid"
node scripts/sbom.cjs "$modules" "$debian_bom" > "$work/debian.tsv" || fail "$debian_bom is not valid"
for file in "$work/msi/KALDO Technologies/vintor.exe" "$work/msi/KALDO Technologies/vintorw.exe"; do
    grep -qP "^file\t$(basename "$file")\t\t$(sha256sum "$file" | cut -d' ' -f1)$" "$work/windows.tsv" ||
        fail "the Windows SBOM lacks $(basename "$file") with its SHA-256"
done
# Only what the MSI installs.
[ "$(grep -cP '^file\t' "$work/windows.tsv")" = 2 ] || fail "the Windows SBOM lists files the MSI does not install"
! grep -q 'vintorlog\.dll' "$work/msi/KALDO Technologies/NOTICES.txt" || fail "the MSI's notices speak of vintorlog.dll"
for component in 'qtbase\t5\.15\.8\+dfsg-11\+deb12u3\tLGPL-3\.0-only' 'Data Compression Library \(zlib\) \(in Qt\)\t1\.2\.11\tZlib' \
    'PCRE2 \(in Qt\)\t10\.39\tBSD-3-Clause' 'TinyCBOR \(in Qt\)\t0\.6\+patches\tMIT' 'The Public Suffix List \(in Qt\)\t[^\t]+\tMPL-2\.0' \
    'Secure Hash Algorithm SHA-3 - Keccak \(in Qt\)\t3\.2\tCC0-1\.0' 'Unicode Common Locale Data Repository \(CLDR\) \(in Qt\)\tv39\tUnicode-DFS-2016' \
    'Boost[^\t]*\t1\.74[^\t]*\tBSL-1\.0' 'GCC runtime[^\t]*\t12\.2\.0-[^\t]+\tGPL-3\.0-or-later WITH GCC-exception-3\.1' \
    'mingw-w64 runtime[^\t]*\t10\.0\.0-[^\t]+\tZPL-2\.1'; do
    grep -qP "^library\t$component" "$work/windows.tsv" || fail "the Windows SBOM lacks /$component/"
done
for package in $(dpkg-deb --field "$deb" Depends | tr ',' '\n' | awk '{ print $1 }'); do
    grep -qP "^library\t${package//+/\\+}\t$(dpkg-query -W -f='${Version}' "$package" | sed 's/[.+]/\\&/g')\t\S" "$work/debian.tsv" ||
        fail "the Debian SBOM lacks $package as installed here, with its licence"
    grep -qF "$package" "$work/NOTICES.deb" || fail "the Debian package's notices lack $package"
done
grep -qP '^library\tBoost[^\t]*\t1\.74[^\t]*\tBSL-1\.0$' "$work/debian.tsv" || fail "the Debian SBOM lacks Boost"
grep -qF 'Boost Software License - Version 1.0' "$work/NOTICES.deb" || fail "the Debian package's notices lack Boost's licence"

# The writers' library's component, from each build: its notices and its SBOM with its files.
for build in build:libvintorlog.so.1:libc6 build-windows:vintorlog.dll:'GCC runtime'; do
    IFS=: read -r folder library runtime <<<"$build"
    cmake --install "$folder" --component vintorlog --prefix "$work/$folder" >/dev/null
    docs="$work/$folder/share/doc/vintorlog"
    grep -qF -- "- $runtime " "$docs/NOTICES" || fail "the notices of $folder's vintorlog lack $runtime"
    ! grep -qi 'qt' "$docs/NOTICES" || fail "the notices of $folder's vintorlog speak of Qt"
    node scripts/sbom.cjs "$modules" "$docs/vintorlog.cdx.json" > "$work/vintorlog.tsv" || fail "$folder's vintorlog SBOM is not valid"
    file=$(find "$work/$folder" -name "$library" | head -n 1)
    grep -qP "^file\t$(basename "$(readlink -f "$file")")\t\t$(sha256sum "$file" | cut -d' ' -f1)$" "$work/vintorlog.tsv" ||
        fail "$folder's vintorlog SBOM lacks $library with its SHA-256"
done
echo "shipping: every SBOM is valid CycloneDX 1.5 and holds its components"
