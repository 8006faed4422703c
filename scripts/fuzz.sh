#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer)
# in build-fuzz and runs each for SECONDS (default 60) on a copy of its kept corpus under
# tests/fuzz/corpus. Exits non-zero on any crash, sanitizer report, leak or timeout; the
# failing input is left in build-fuzz/artifacts.
#
#   scripts/fuzz.sh [SECONDS]            run every target
#   FUZZ_TARGETS="data batch" scripts/fuzz.sh 600
#   FUZZ_KEEP=1 scripts/fuzz.sh 1800     also merge what the runs found into the kept corpus
#
# Needs clang-14 and libclang-rt-14-dev (installed through apt when run as root).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
targets="${FUZZ_TARGETS:-lexer compiler data batch plots}"

if ! command -v clang++-14 >/dev/null || ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq clang-14 libclang-rt-14-dev
  else
    echo "fuzz.sh needs the packages clang-14 and libclang-rt-14-dev (apt-get install clang-14 libclang-rt-14-dev)" >&2
    exit 2
  fi
fi

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMOXEL_FUZZ=ON -DMOXEL_TESTS=OFF -DMOXEL_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target $(printf 'fuzz_%s ' $targets)

mkdir -p build-fuzz/artifacts
export LSAN_OPTIONS="suppressions=$PWD/tests/fuzz/lsan.supp"
failed=0
for target in $targets; do
  kept="tests/fuzz/corpus/$target"
  work="build-fuzz/corpus/$target"
  mkdir -p "$work"
  cp -n "$kept"/* "$work"/ 2>/dev/null || true
  echo "== fuzz_$target for ${seconds}s"
  # -timeout: one input running longer than this is a hang; the batch target cancels
  # its own run after one second, so 20 s leaves a wide margin on a loaded machine.
  if ! (cd build-fuzz && ./fuzz_"$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
          -max_len=4096 -print_final_stats=1 -artifact_prefix=artifacts/"$target"- \
          -dict=../tests/fuzz/moxel.dict corpus/"$target"); then
    echo "fuzz_$target FAILED (see build-fuzz/artifacts)" >&2
    failed=1
  fi
  if [ "${FUZZ_KEEP:-0}" = 1 ]; then
    (cd build-fuzz && ./fuzz_"$target" -merge=1 -timeout=20 -max_len=4096 ../"$kept" corpus/"$target" >/dev/null 2>&1) || true
  fi
done
exit $failed
