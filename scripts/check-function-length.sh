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
git ls-files '*.cpp' | grep -v -e '^tests/' -e '^fuzz/make_seeds.cpp$' |
    grep -F -f <(grep -o '"file": *"[^"]*"' "$build/compile_commands.json" | sed 's/.*"\([^"]*\)"$/\1/' | sed "s|^$PWD/||") |
    xargs -P "$(nproc)" -n 4 "$tidy" -p "$build" --quiet -checks='-*,readability-function-size' \
        -config="$config" 2>/dev/null | grep 'readability-function-size' | sed "s|^$PWD/||" > /tmp/function-length.$$ || true
if [ -s /tmp/function-length.$$ ]; then
    sed 's/^/check-function-length: /' /tmp/function-length.$$ >&2
    rm -f /tmp/function-length.$$
    exit 1
fi
rm -f /tmp/function-length.$$
echo "check-function-length: no function over 60 lines outside the tests"
