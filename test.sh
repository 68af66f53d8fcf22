#!/usr/bin/env bash
# Installs what is missing, checks the layer map and the formatting, builds
# (warnings are errors), and runs every test: the whole suite on the normal
# build, then the unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps
scripts/check-layers
scripts/check-format

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 600

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSM_SANITIZE=ON -DSM_BUILD_BENCH=OFF >/dev/null
ninja -C build-asan unit_tests
ctest --test-dir build-asan --output-on-failure -j "$jobs" -L unit --timeout 600
echo "all tests passed"
