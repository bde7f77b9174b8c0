#!/usr/bin/env bash
# Fetches the source the Windows programs' Qt is built from: Debian 12's source package
# qtbase-opensource-src 5.15.8+dfsg-11+deb12u3, its three files (.dsc, .orig.tar.xz,
# .debian.tar.xz) as Debian's archive publishes them, and unpacks it with Debian's patches into tree/.
#
#   scripts/qt-source.sh FOLDER
#
# The release publishes the three files beside the programs; the notices are made from tree/'s
# qt_attribution.json files. apt checks the files against the archive's signed index. Done once:
# a FOLDER whose tree/ is complete is left as it is. Needs root (or sudo) for apt-get.
set -euo pipefail
folder=$(realpath -m "$1")
version=5.15.8+dfsg-11+deb12u3
[ -f "$folder/tree/.complete" ] && exit 0

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
command -v dpkg-source >/dev/null || as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg-dev >/dev/null

# A private apt configuration made from the machine's own Debian source (same archive, deb-src
# instead of deb); the machine's own lists stay as they are.
mkdir -p "$folder/apt/lists/partial"
sources=$(grep -l '^Suites: bookworm' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
uri=$(awk '/^URIs:/ {print $2; exit}' "$sources")
key=$(awk '/^Signed-By:/ {print $2; exit}' "$sources")
printf 'Types: deb-src\nURIs: %s\nSuites: bookworm\nComponents: main\nSigned-By: %s\n' "$uri" "$key" > "$folder/apt/src.sources"
aptsrc=(-o Dir::Etc::SourceParts="$folder/apt" -o Dir::Etc::sourcelist=/dev/null -o Dir::State::Lists="$folder/apt/lists")
as_root apt-get "${aptsrc[@]}" update -qq
(cd "$folder" && as_root apt-get "${aptsrc[@]}" source --download-only "qtbase-opensource-src=$version" >/dev/null 2>&1)
rm -rf "$folder/tree"
# dpkg-source checks the files against the .dsc (its signature needs Debian's keyring, which apt's
# check of the index makes needless); its words are shown only when it fails.
if ! dpkg-source -x "$folder/qtbase-opensource-src_$version.dsc" "$folder/tree" >"$folder/unpack.log" 2>&1; then
    cat "$folder/unpack.log" >&2
    exit 1
fi
touch "$folder/tree/.complete"
