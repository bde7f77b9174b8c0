#!/usr/bin/env bash
# The writers' library as a product team meets it: installs the component "vintorlog" into a
# folder of its own, builds README's example program as it stands against it, with CMake's
# find_package (the shared and the static library) and with pkg-config, runs it, and harvests
# what it wrote with vintor against the reference service: the log reaches the receiver, with
# its anon text only as a digest.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
WITH_WINDOWS=0 WITH_PACKAGE=0 WITH_CHECKS=0 bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)" --target vintor vintorlog vintorlog_static refservice >/dev/null
work=$(mktemp -d)
service=""
trap '[ -z "$service" ] || kill $service 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "vintorlog.sh: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install build --component vintorlog --prefix "$prefix" >/dev/null
mkdir -p "$work/example"
awk '/^```c$/ { inside = 1; next } /^```$/ { inside = 0 } inside' README.md > "$work/example/example.c"
[ -s "$work/example/example.c" ] || fail "README has no example program"
cat > "$work/example/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(example C CXX)
find_package(vintorlog 1 REQUIRED)
add_executable(example example.c)
target_link_libraries(example PRIVATE vintorlog::vintorlog)
add_executable(example_static example.c)
target_link_libraries(example_static PRIVATE vintorlog::vintorlog_static)
CMAKE
cmake -S "$work/example" -B "$work/example/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/example/build" >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$work/example/example_pc" "$work/example/example.c" $(pkg-config --cflags --libs vintorlog)
echo "vintorlog.sh: the example builds with find_package (shared and static) and with pkg-config"

# The reference service, and a home whose log folder the example writes into.
export TEMP=$work/temp TMPDIR=$work/temp XDG_CONFIG_HOME=$work/config
mkdir -p "$TEMP" "$work/received" "$XDG_CONFIG_HOME/KALDO Technologies"
printf 'default Details 86400\n' > "$work/policy"
"$repo/build/bin/refservice" --policy "$work/policy" --receive-dir "$work/received" > "$work/service.out" &
service=$!
for _ in $(seq 100); do grep -q "listening on port" "$work/service.out" 2>/dev/null && break; sleep 0.05; done
port=$(awk '/listening on port/ {print $4}' "$work/service.out")
printf '[General]\nwsUrl=http://127.0.0.1:%s/usagetracking/veri.asmx\nreceiverUrl=http://127.0.0.1:%s/usagetracking/post.track\n' \
    "$port" "$port" > "$XDG_CONFIG_HOME/KALDO Technologies/Zadazevi Rerevarazu.conf"
logs="$TEMP/KALDO Technologies/Zadazevi Rerevarazu Logs"
for program in example example_static; do
    LD_LIBRARY_PATH=$prefix/lib "$work/example/build/$program" || fail "$program failed"
    sleep 1 # the next log's name comes from the clock
done
LD_LIBRARY_PATH=$prefix/lib "$work/example/example_pc" || fail "the pkg-config build failed"
[ "$(find "$logs" -maxdepth 1 -name 'example-*.0.xml' | wc -l)" = 3 ] || fail "the examples did not write three logs"
"$repo/build/bin/vintor" -forKALDO || fail "the harvest failed"
[ -z "$(find "$logs" -maxdepth 1 -type f)" ] || fail "the harvest left $(ls "$logs")"
[ "$(find "$work/received" -type f | wc -l)" = 3 ] || fail "the receiver got $(find "$work/received" -type f | wc -l) logs"
for log in "$work/received"/*; do
    [ "$(grep -c '<sessionuuid>' "$log")" = 2 ] || fail "$(basename "$log") does not hold two sessions"
    grep -q '<feature>Open</feature>' "$log" || fail "$(basename "$log") lost its events"
    if grep -q 'bridge-tender' "$log"; then fail "the anon text reached the receiver in clear"; fi
done
echo "vintorlog.sh: the example's logs were harvested, the anon text as a digest"
