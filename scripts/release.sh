#!/usr/bin/env bash
# Writes the release folder dist/vintor-<version>/: what a maker publishes, together, in one place.
#   - vintor-<version>-x64.msi and its SBOM, vintor-<version>-x64.cdx.json, and NOTICES.txt, the
#     notices the MSI installs;
#   - vintor-<version>-relink-kit.zip, to link the programs again against another Qt;
#   - vintor-<version>-source.tar.xz, the project's source as built (the files git tracks, as they
#     are in the working tree);
#   - qt/: the source of the Qt the programs link, the three files of Debian's source package
#     qtbase-opensource-src as the Qt build fetched them (scripts/qt-source.sh), and README.txt
#     telling how that Qt was built from them;
#   - policy/: the Group Policy template, vintor.admx and en-US/vintor.adml;
#   - SHA256SUMS of all of it.
# The notices point at this folder; the LGPL asks that the source and the means to relink be
# offered from the same place as the programs. Signing, as for the MSI: VINTOR_SIGN_* (build-msi.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
WITH_PACKAGE=0 WITH_CHECKS=0 bash scripts/setup.sh
qt=$(bash scripts/qt-mingw.sh)
cmake --preset windows -DQT_MINGW_PREFIX="$qt" >/dev/null
cmake --build --preset windows -j"$(nproc)" --target msi relink-kit >/dev/null
version=$(sed -n 's/^project(vintor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=vintor-$version
dist=dist/$name
fail() { echo "release.sh: $*" >&2; exit 1; }

rm -rf "$dist"
mkdir -p "$dist/qt" "$dist/policy/en-US"
cp "build-windows/$name-x64.msi" "build-windows/$name-x64.cdx.json" "build-windows/$name-relink-kit.zip" "$dist/"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
msiextract -C "$work" "$dist/$name-x64.msi" >/dev/null
cp "$work/KALDO Technologies/NOTICES.txt" "$dist/"
git ls-files -z | tar --null -T - --transform "s,^,$name/," --owner=0 --group=0 --numeric-owner -cJf "$dist/$name-source.tar.xz"
source_folder=$(dirname "$qt")/qt-source
dsc=$(ls "$source_folder"/qtbase-opensource-src_*.dsc)
cp "$dsc" "$dist/qt/"
awk '/^Checksums-Sha256:/ { inside = 1; next } /^[^ ]/ { inside = 0 } inside { print $3 }' "$dsc" | while read -r file; do
    cp "$source_folder/$file" "$dist/qt/"
done
cat > "$dist/qt/README.txt" <<TEXT
The source of the Qt that vintor.exe and vintorw.exe link statically: Debian 12's source package
qtbase-opensource-src, the three files beside this one, as Debian's archive publishes them.
Unpack it with Debian's patches applied: dpkg-source -x $(basename "$dsc")

It was configured and built by scripts/qt-mingw-build.sh of $name-source.tar.xz (the configure
line is in that script), with one change of its own to the unpacked tree: src/network/ssl/ssl.pri
names -lsecur32 -lcrypt32 in lower case, as mingw-w64 ships those import libraries.
$name-relink-kit.zip links the programs again against a Qt built so, or against another.
TEXT
cp packaging/windows/policy/vintor.admx "$dist/policy/"
cp packaging/windows/policy/en-US/vintor.adml "$dist/policy/en-US/"
(cd "$dist" && find . -type f ! -name SHA256SUMS | sort | sed 's,^\./,,' | xargs sha256sum > SHA256SUMS)

# What the notices promise is here: the kit and the source they name, and Qt's files as its .dsc lists them.
for file in "$name-relink-kit.zip" "$name-source.tar.xz"; do
    grep -qF "$file" "$dist/NOTICES.txt" || fail "the notices do not name $file"
done
grep -qF "release folder $name/" "$dist/NOTICES.txt" || fail "the notices do not name the release folder"
awk '/^Checksums-Sha256:/ { inside = 1; next } /^[^ ]/ { inside = 0 } inside { print $1 "  " $3 }' "$dsc" > "$work/qt.sums"
[ "$(wc -l < "$work/qt.sums")" -ge 2 ] && (cd "$dist/qt" && sha256sum --quiet -c "$work/qt.sums") ||
    fail "Qt's source files do not match their .dsc"
tar -xJf "$dist/$name-source.tar.xz" -C "$work" "$name/CMakeLists.txt" "$name/packaging/components.list" ||
    fail "the source archive lacks the project's build files"
cmp -s "$work/$name/packaging/components.list" packaging/components.list || fail "the source archive is not the source built"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
echo "release: $dist"
(cd "$dist" && find . -type f | sort | sed 's,^\./,  ,')
