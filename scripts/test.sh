#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a release build, then a build
# with AddressSanitizer and UndefinedBehaviorSanitizer. Then a ThreadSanitizer build
# runs the tests that put the analysis on its worker thread (progress, Cancel, the
# end-of-run signal, the two-core evaluation and its kept values), in the core, in the
# batch runs they start and in the window; only those test programs are built.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
(cd build && ctest --output-on-failure -j "$(nproc)")
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOXEL_SANITIZE=ON -DMOXEL_BENCH=OFF >/dev/null
cmake --build build-asan -j "$(nproc)"
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j "$(nproc)")
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOXEL_TSAN=ON -DMOXEL_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$(nproc)" --target test_analysis test_exec test_support test_endtoend test_app
threaded='^(WorkerThread|DriverRun|Release|Batch|CommandLine|TwoThreads|TwoThreadsCancel|BlockPath|BlockRuns)\.|^FinalResults\.InterruptedRun|^Interpreter\.CancelFromAnotherThread|^AllocatorTest\.TwoThreads|^BadInputs\.'
threaded+='|^FrameTest\.(RunShowsTheListingAndTheTables|EnablingRulesFollowTheRun|ClosingDuringARunCancelsWaitsAndThenAsks)$'
# Qt itself is not instrumented: tests/tsan.supp says what that hides.
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/../tests/tsan.supp" \
  ctest --output-on-failure -j "$(nproc)" -R "$threaded")
