#!/usr/bin/env bash
# Builds one configuration (dev by default, or asan) and runs its tests.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}
WITH_WINDOWS=0 WITH_PACKAGE=0 WITH_CHECKS=0 bash scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset" -j2
