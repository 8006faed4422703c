#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a release build, then a build
# with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
(cd build && ctest --output-on-failure -j "$(nproc)")
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOXEL_SANITIZE=ON -DMOXEL_BENCH=OFF >/dev/null
cmake --build build-asan -j "$(nproc)"
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j "$(nproc)")
