#!/usr/bin/env bash
# Puts a static Qt 5.15.8 qtbase for 64-bit Windows (mingw-w64, posix threads: QtCore, QtNetwork,
# QtXml, QtTest; SChannel TLS, no OpenSSL) under one prefix and prints that prefix.
#
#   scripts/qt-mingw.sh            prefix: $QT_MINGW_PREFIX, default build-qt-mingw/qt5-mingw
#
# Beside the prefix, qt-source/ receives that Qt's source (scripts/qt-source.sh).
#
# It unpacks the prebuilt archive ../shared/qt5-mingw/qt-5.15.8-mingw-static.tar.xz when that is
# there and its SHA-256 matches SHA256SUMS beside it. Otherwise it makes the same Qt from Debian's
# own qtbase source package with the same recipe (shared/qt5-mingw/build.sh, kept here as
# scripts/qt-mingw-build.sh): a deb-src entry made from the machine's own Debian source, in a
# private apt configuration, Debian's patches applied, the recorded configure line. That takes
# 15-30 minutes on 2 cores and needs root (or sudo) for apt-get.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
prefix=${QT_MINGW_PREFIX:-$here/build-qt-mingw/qt5-mingw}
shared=${VINTOR_SHARED:-$here/../shared}/qt5-mingw
archive_name=qt-5.15.8-mingw-static.tar.xz

# The source this Qt is built from goes beside it, in qt-source/: the release publishes it, and the
# notices of the Windows programs are made from it.
source_folder=$(dirname "$prefix")/qt-source
if [ "$(id -u)" -eq 0 ]; then
    bash "$here/scripts/qt-source.sh" "$source_folder" >&2
else
    sudo bash "$here/scripts/qt-source.sh" "$source_folder" >&2
fi

# Done before: the package files are the last thing unpacked.
if [ -f "$prefix/lib/cmake/Qt5Core/Qt5CoreConfig.cmake" ] && [ -f "$prefix/.vintor-qt-complete" ]; then
    echo "$prefix"
    exit 0
fi

archive=""
if [ -f "$shared/$archive_name" ] && [ -f "$shared/SHA256SUMS" ]; then
    if (cd "$shared" && grep " \*\?$archive_name\$" SHA256SUMS | sha256sum -c --status -); then
        archive=$shared/$archive_name
    else
        echo "qt-mingw: $shared/$archive_name does not match SHA256SUMS; building Qt from source" >&2
    fi
fi

if [ -z "$archive" ]; then
    work=${QT_MINGW_WORK:-$here/build-qt-mingw/work}
    if [ "$(id -u)" -eq 0 ]; then
        bash "$here/scripts/qt-mingw-build.sh" "$work" >&2
    else
        sudo bash "$here/scripts/qt-mingw-build.sh" "$work" >&2
    fi
    archive=$work/$archive_name
fi

# The archive holds one folder, qt5-mingw/; it is relocatable (CMake finds it wherever it lands).
parent=$(dirname "$prefix")
mkdir -p "$parent"
unpack=$(mktemp -d "$parent/.unpack.XXXXXX")
trap 'rm -rf "$unpack"' EXIT
tar -xJf "$archive" -C "$unpack"
rm -rf "$prefix"
mv "$unpack/qt5-mingw" "$prefix"
touch "$prefix/.vintor-qt-complete"
echo "$prefix"
