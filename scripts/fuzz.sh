#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang into build-fuzz/ and runs each
# for a bounded time. Fails when any target finds a crash, a hang (an input
# running over 10 s), a leak, a sanitizer report or a broken invariant.
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#   SECONDS_PER_TARGET  default 60
#   TARGET              default all: serial_link settings value_lookup cache_image site_file
#
# Each target works on its own corpus under build-fuzz/corpus/, seeded from the
# committed fuzz/corpus/<target>/ (which is never written to), so what one run
# discovers is kept for the next run in the same build folder. A failing input
# is saved under build-fuzz/artifacts/<target>/ and can be replayed with
#   build-fuzz/<target>_fuzzer <file>
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${1:-60}
[[ $# -gt 0 ]] && shift
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz: SECONDS_PER_TARGET must be a positive whole number, not '$seconds'" >&2
  exit 2
fi
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(serial_link settings value_lookup cache_image site_file)

build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh native fuzz

mkdir -p "$build"
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >"$build/configure.log" 2>&1 || {
  cat "$build/configure.log" >&2
  exit 1
}
build_targets=()
for t in "${targets[@]}"; do build_targets+=(--target "${t}_fuzzer"); done
cmake --build "$build" -j"$jobs" "${build_targets[@]}"

# libFuzzer looks for leaks after every input unless told not to. Where
# LeakSanitizer cannot run (scripts/leak-sanitizer-probe.sh) that would fail
# every run, so try it once first.
source scripts/leak-sanitizer-probe.sh
leaks=1
if ! leak_sanitizer_works clang++ "$build/leak-probe"; then
  leaks=0
  echo "fuzz: LeakSanitizer does not work here; leak detection is off"
fi

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=abort_on_error=1:print_stacktrace=1:detect_leaks=$leaks

declare -A executions result
failed=0
for t in "${targets[@]}"; do
  binary="$build/${t}_fuzzer"
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  log="$build/$t.log"
  mkdir -p "$corpus" "$artifacts"
  cp -f fuzz/corpus/"$t"/* "$corpus"/
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -detect_leaks="$leaks" -artifact_prefix="$artifacts/")
  [[ -f "fuzz/$t.dict" ]] && options+=(-dict="fuzz/$t.dict")

  echo "fuzz: $t for ${seconds}s"
  if "$binary" "${options[@]}" "$corpus" >"$log" 2>&1; then
    result[$t]=ok
  else
    result[$t]=FAILED
    failed=1
    echo "fuzz: $t FAILED; the end of its log ($log):" >&2
    tail -n 60 "$log" >&2
    echo "fuzz: failing inputs are in $artifacts/" >&2
  fi
  executions[$t]=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
done

echo
printf '%-14s %14s  %s\n' target executions result
for t in "${targets[@]}"; do
  printf '%-14s %14s  %s\n' "$t" "${executions[$t]:-?}" "${result[$t]}"
done
exit "$failed"
