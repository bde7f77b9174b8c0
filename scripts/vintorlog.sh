#!/usr/bin/env bash
# The writers' library as a product team meets it: installs the component "vintorlog" into a
# folder of its own, checks what the shared library exports and that it runs nothing when
# loaded, builds README's example program as it stands against it, from a C project with CMake's
# find_package (the shared and the static library) and with pkg-config (shared with gcc and
# clang, static), all under -Werror, runs each build, and harvests what they wrote with vintor
# against the reference service: every session reaches the receiver, its anon text only as a
# digest.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
WITH_WINDOWS=0 WITH_PACKAGE=0 bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)" --target vintor vintorlog vintorlog_static vintorlog_shipping refservice >/dev/null
work=$(mktemp -d)
service=""
trap '[ -z "$service" ] || kill $service 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "vintorlog.sh: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install build --component vintorlog --prefix "$prefix" >/dev/null
library=$(readlink -f "$prefix/lib/libvintorlog.so")
exports=$(nm -D --defined-only "$library" | awk '$2 == "T" {print $3}' | sort -u)
[ -n "$exports" ] || fail "libvintorlog.so exports nothing"
if grep -v '^vintorlog_[a-z_]*@@VINTORLOG_1$' <<<"$exports"; then fail "libvintorlog.so exports more than its C interface"; fi
if nm "$library" | grep -q '_GLOBAL__sub_I'; then fail "libvintorlog.so runs a global constructor"; fi
mkdir -p "$work/example"
awk '/^```c$/ { inside = 1; next } /^```$/ { inside = 0 } inside' README.md > "$work/example/example.c"
[ -s "$work/example/example.c" ] || fail "README has no example program"
cat > "$work/example/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(example C)
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
flags=(-std=c99 -Wall -Wextra -Werror)
# shellcheck disable=SC2046
gcc "${flags[@]}" -o "$work/example/example_gcc" "$work/example/example.c" $(pkg-config --cflags --libs vintorlog)
# shellcheck disable=SC2046
clang-14 "${flags[@]}" -o "$work/example/example_clang" "$work/example/example.c" $(pkg-config --cflags --libs vintorlog)
# shellcheck disable=SC2046
gcc "${flags[@]}" -DVINTORLOG_STATIC -o "$work/example/example_pc_static" "$work/example/example.c" \
    $(pkg-config --static --cflags vintorlog) "$prefix/lib/libvintorlog.a" $(pkg-config --static --libs-only-l vintorlog | sed 's/-lvintorlog//')
echo "vintorlog.sh: the example builds from a C project with find_package (shared and static), and with pkg-config (gcc, clang, static)"

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
builds=("$work/example/build/example" "$work/example/build/example_static" "$work/example/example_gcc"
    "$work/example/example_clang" "$work/example/example_pc_static")
# All at once, as copies of a product started together: each session gets a log of its own.
pids=()
for program in "${builds[@]}"; do
    LD_LIBRARY_PATH=$prefix/lib "$program" >/dev/null & pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || fail "an example failed"; done
[ "$(find "$logs" -maxdepth 1 -name 'log-*.0.xml' | wc -l)" = 10 ] || fail "the examples did not write ten logs"
"$repo/build/bin/vintor" -forKALDO || fail "the harvest failed"
[ -z "$(find "$logs" -maxdepth 1 -type f)" ] || fail "the harvest left $(ls "$logs")"
[ "$(find "$work/received" -type f | wc -l)" = 10 ] || fail "the receiver got $(find "$work/received" -type f | wc -l) logs"
[ "$(cat "$work/received"/* | grep -c '<sessionuuid>')" = 10 ] || fail "the receiver did not get ten sessions"
[ "$(grep -l '<feature>Open</feature>' "$work/received"/* | wc -l)" = 5 ] || fail "the first sessions lost their events"
if grep -q 'bridge-tender' "$work/received"/*; then fail "the anon text reached the receiver in clear"; fi
echo "vintorlog.sh: the examples' logs were harvested, the anon text as a digest"
