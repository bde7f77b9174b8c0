#!/usr/bin/env bash
# Builds a static Qt 5.15.8 qtbase (QtCore, QtNetwork, QtXml, QtTest; SChannel TLS, bundled zlib and PCRE2)
# for 64-bit Windows with Debian 12's mingw-w64 (posix threads), from Debian's own qtbase source package
# with Debian's patches, and packs it as qt-5.15.8-mingw-static.tar.xz (one folder, qt5-mingw/, relocatable).
#
#   qt-mingw-build.sh [WORKDIR]   default: /usr/src/qt5-mingw-build; 15-30 minutes and 1 GB of disk on 2 cores
#
# Qt is configured for the conventional prefix /opt/qt5-mingw and installed into a staging folder, so the
# archive records no path of the machine that built it; CMake finds it wherever it is unpacked.
#
# Needs root for apt-get. scripts/qt-mingw.sh runs it when the prebuilt archive is not at hand; the
# archive in shared/qt5-mingw was made by this same recipe.
set -euo pipefail
work=${1:-/usr/src/qt5-mingw-build}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work" && cd "$work"

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends g++-mingw-w64-x86-64-posix dpkg-dev perl python3 make xz-utils >/dev/null

# Debian's source package, unpacked with Debian's patches (the same files the release publishes).
bash "$here/qt-source.sh" "$work/src"
srcdir=$work/src/tree

# mingw's import libraries are lower case; Qt names two of them with capitals, which only a
# case-insensitive file system forgives.
sed -i 's/"-lSecur32" "-lCrypt32"/"-lsecur32" "-lcrypt32"/' "$srcdir/src/network/ssl/ssl.pri"

rm -rf build stage && mkdir build stage
cd build
"$srcdir/configure" -prefix /opt/qt5-mingw -opensource -confirm-license -release -static -static-runtime \
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
    -nomake examples -nomake tests -no-gui -no-widgets -no-opengl -no-dbus -no-icu \
    -no-openssl -schannel -qt-zlib -qt-pcre -no-feature-sql -no-feature-concurrent >configure.log 2>&1
make -j"$(nproc)" >build.log 2>&1
make install INSTALL_ROOT="$work/stage" >install.log 2>&1
tar -cJf "$work/qt-5.15.8-mingw-static.tar.xz" -C "$work/stage/opt" qt5-mingw
cd "$work"
sha256sum qt-5.15.8-mingw-static.tar.xz
echo "archive: $work/qt-5.15.8-mingw-static.tar.xz"
