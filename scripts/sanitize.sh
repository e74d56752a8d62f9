#!/usr/bin/env bash
# Builds the whole project with gcc's AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan/ and runs the native test suite there. Any sanitizer report
# aborts the test that caused it, so the run fails.
#
# Usage: scripts/sanitize.sh [ctest arguments...]
#   ASAN_BUILD_DIR   build folder (default build-asan)
#   BATTERY32_TOOLS  ON (default) or OFF: the runner and simulator with their tests
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

build=${ASAN_BUILD_DIR:-build-asan}
tools=${BATTERY32_TOOLS:-ON}
jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh native

# float-cast-overflow is not part of gcc's "undefined" group, but the settings
# readers convert arbitrary text to int through double, where an unchecked
# conversion would be undefined.
sanitizers=address,undefined,float-cast-overflow
flags="-fsanitize=$sanitizers -fno-sanitize-recover=all -fno-omit-frame-pointer"

cmake -S . -B "$build" \
  -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$sanitizers" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=$sanitizers" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=$sanitizers" \
  -DBATTERY32_TESTS=ON \
  -DBATTERY32_TOOLS="$tools"
cmake --build "$build" -j"$jobs"

# LeakSanitizer may not work here (scripts/leak-sanitizer-probe.sh): find out once.
source scripts/leak-sanitizer-probe.sh
leaks=1
if ! leak_sanitizer_works g++ "$build/leak-probe"; then
  leaks=0
  echo "sanitize: LeakSanitizer does not work here; leak detection is off"
fi

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=$leaks:detect_stack_use_after_return=1:check_initialization_order=1:print_stacktrace=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"

echo "sanitize: ASAN_OPTIONS=$ASAN_OPTIONS"
echo "sanitize: UBSAN_OPTIONS=$UBSAN_OPTIONS"
ctest --test-dir "$build" --output-on-failure -j"$jobs" "$@"
