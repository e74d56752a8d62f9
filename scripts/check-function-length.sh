#!/bin/bash
# Fails when a function outside the tests is longer than 60 lines (clang-tidy's
# readability-function-size), so long functions are split while they are small.
# The fuzz seed maker's main is a list of seeds and may stay long.
# usage: check-function-length.sh BUILD_DIR   (a configured build with compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
[ -n "$tidy" ] || { echo "check-function-length: clang-tidy is needed (scripts/install-deps.sh native installs it)" >&2; exit 1; }
[ -f "$build/compile_commands.json" ] || { echo "check-function-length: $build/compile_commands.json is missing: build first" >&2; exit 1; }
config='{CheckOptions: [{key: readability-function-size.LineThreshold, value: 60}]}'
built=$(grep -o '"file": *"[^"]*"' "$build/compile_commands.json" | sed 's/.*"\([^"]*\)"$/\1/' | sed "s|^$PWD/||")
mapfile -t files < <(git ls-files '*.cpp' | grep -v -e '^tests/' -e '^fuzz/make_seeds.cpp$' | grep -F -x -f <(echo "$built") || true)
# An empty list would pass without checking anything: a build of another tree, say.
[ ${#files[@]} -gt 0 ] || { echo "check-function-length: $build builds none of this tree's sources" >&2; exit 1; }
report=$(mktemp)
errors=$(mktemp)
trap 'rm -f "$report" "$errors"' EXIT
status=0
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 4 "$tidy" -p "$build" --quiet \
    -checks='-*,readability-function-size' -config="$config" --extra-arg=-Wno-error \
    >"$report" 2>"$errors" || status=$?
if grep -q 'readability-function-size' "$report"; then
    grep 'readability-function-size' "$report" | sed "s|^$PWD/||; s/^/check-function-length: /" >&2
    exit 1
fi
# A file clang-tidy could not read is a file left unchecked.
if [ "$status" -ne 0 ]; then
    grep -h 'error:' "$report" "$errors" | sed "s|^$PWD/||; s/^/check-function-length: /" >&2 || true
    echo "check-function-length: clang-tidy failed (status $status); the files above are unchecked" >&2
    exit 1
fi
echo "check-function-length: no function over 60 lines in ${#files[@]} sources outside the tests"
