#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each from its seed corpus (fuzz/corpus/<name>)
# for a bounded time, FUZZ_SECONDS (25 by default). A crash, a leak, a time-out or undefined
# behaviour fails the run and prints the input that caused it: add that input to the target's
# corpus, which every run replays first, as a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."
WITH_WINDOWS=0 WITH_PACKAGE=0 bash scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

seconds=${FUZZ_SECONDS:-25}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for seeds in fuzz/corpus/*/; do
    name=$(basename "$seeds")
    mkdir -p "$work/$name"
    if ! build-fuzz/bin/"fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/$name-" "$work/$name" "$seeds" >"$work/$name.log" 2>&1; then
        tail -n 40 "$work/$name.log"
        for artifact in "$work/$name"-*; do
            [ -e "$artifact" ] && { echo "input ($artifact):"; base64 "$artifact"; }
        done
        echo "fuzz_$name failed" >&2
        exit 1
    fi
    echo "fuzz_$name: $(grep -o 'stat::number_of_executed_units: [0-9]*' "$work/$name.log" || grep -o '#[0-9]*.*DONE' "$work/$name.log" | tail -1)"
done
