#!/usr/bin/env bash
# Builds the writers' library and its tests with ThreadSanitizer (clang) and runs the tests in
# which many threads open, write and close handles at once: any data race fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
WITH_WINDOWS=0 WITH_PACKAGE=0 bash scripts/setup.sh
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$(nproc)"
TSAN_OPTIONS="halt_on_error=1 exitcode=66" build-tsan/bin/test_vintorlog --gtest_filter='*Threads*'
