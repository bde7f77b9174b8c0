#!/usr/bin/env bash
# Builds the Debian package, checks it (lintian, the manual page), installs it, runs the
# installed /usr/bin/vintor through the demo's whole harvest, verifies the systemd user units
# and removes the package again. Needs root, as dpkg does.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake --preset package >/dev/null
cmake --build --preset package -j"$(nproc)" >/dev/null
(cd build-package && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(ls build-package/vintor_*.deb)
echo "Built $deb"
dpkg-deb --field "$deb" Depends

# Errors and warnings fail; the one note left (a .comment section the toolchain writes) is
# information only.
lintian --fail-on error,warning "$deb"
groff -man -ww -z build-package/packaging/vintor.1

dpkg -i "$deb" >/dev/null
trap 'dpkg -r vintor >/dev/null' EXIT
runtime=$(mktemp -d)
XDG_RUNTIME_DIR=$runtime systemd-analyze verify --user /usr/lib/systemd/user/vintor.service /usr/lib/systemd/user/vintor.timer
rm -rf "$runtime"
MANWIDTH=80 man --warnings vintor >/dev/null

VINTOR=/usr/bin/vintor bash scripts/demo.sh
