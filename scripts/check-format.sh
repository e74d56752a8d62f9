#!/bin/bash
# Fails when a tracked C++ source differs from the committed .clang-format.
# Versions of clang-format format differently: the tree is kept in version 14's style.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$tool" ] || ! "$tool" --version | grep -q 'version 14\.'; then
    echo "check-format: clang-format 14 is needed (scripts/install-deps.sh native installs it)" >&2
    exit 1
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.cc')
report=$(mktemp)
trap 'rm -f "$report"' EXIT
if ! "$tool" --dry-run -Werror "${files[@]}" 2>"$report"; then
    grep -E '^[^ ].*: (error|warning):' "$report" | cut -d: -f1 | sort -u |
        sed 's/^/check-format: differs from .clang-format: /' >&2
    echo "check-format: run clang-format -i on the files above" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files as .clang-format says"
