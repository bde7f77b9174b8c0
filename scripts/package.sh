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
# Its SBOM beside it: the files it ships, hashed as packed, and the dependencies as resolved.
unpacked=$(mktemp -d)
dpkg-deb -x "$deb" "$unpacked"
cmake -DPACKAGE=debian -DVERSION="$(dpkg-deb --field "$deb" Version)" -DSBOM="${deb%.deb}.cdx.json" \
    -DFILES="$unpacked/usr/bin/vintor" -DDEPENDS="$(dpkg-deb --field "$deb" Depends)" -P packaging/shipping.cmake
rm -rf "$unpacked"

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

# A scheduled run: the user manager gives the unit the environment that the environment.d files
# make for a session without TEMP, and the unit runs its ExecStart in it. The reference writer,
# started in the same environment, stands for the user's applications; the run must find its log.
home=$(mktemp -d)
mapfile -t session < <(env -i HOME="$home" /usr/lib/systemd/user-environment-generators/30-systemd-environment-d-generator)
temp=$(printf '%s\n' "${session[@]}" | sed -n 's/^TEMP=//p')
[ -n "$temp" ] || { echo "the user manager's environment has no TEMP" >&2; exit 1; }
[ -e "$temp/KALDO Technologies" ] && keep=1 || keep=0
in_session() { env -i HOME="$home" "${session[@]}" "$@"; }
in_session build/bin/logwriter --no-kaldo --name scheduled >/dev/null
read -ra exec_start <<<"$(sed -n 's/^ExecStart=//p' /usr/lib/systemd/user/vintor.service)"
out=$(in_session QT_LOGGING_RULES='vintor.*=true' "${exec_start[@]}" 2>&1)
rm -rf "$home"
[ $keep = 1 ] || rm -rf "$temp/KALDO Technologies"
grep -qx "vintor.run: Log folder is: $temp/KALDO Technologies/Zadazevi Rerevarazu Logs" <<<"$out" \
    && grep -q "Considering \[.*/scheduled.full.xml\]" <<<"$out" \
    || { echo "the scheduled run missed the writer's log:" >&2; echo "$out" >&2; exit 1; }
echo "The scheduled run harvests the folder the writer uses ($temp)."
