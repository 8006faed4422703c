#!/usr/bin/env bash
# Builds build/moxel (release) and, with it, the tests and benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)"
