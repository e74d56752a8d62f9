#!/usr/bin/env bash
# The controller runs o32 soft-float code. Debian's cross toolchain has only a
# hard-float C library, so it cannot link a soft-float plug-in; this compiles
# every plug-in source again with -msoft-float, with exactly the flags of the
# mipsel build (its compile_commands.json), and checks that each object carries
# the soft-float ABI. glibc's gnu/stubs.h wants gnu/stubs-o32_soft.h, which
# only a soft-float glibc has; an empty stand-in is enough for compiling.
# Linking a loadable soft-float plug-in takes the controller's SDK (README).
# Usage: scripts/check-soft-float.sh [MIPSEL_BUILD_DIR]   (default build-mipsel)
set -euo pipefail

build=${1:-build-mipsel}
fail() { echo "check-soft-float: $*" >&2; exit 1; }
commands="$build/compile_commands.json"
[[ -f "$commands" ]] || fail "$commands not found (configure the mipsel build first)"
command -v jq >/dev/null || fail "jq is missing (scripts/install-deps.sh cross)"
prefix=${MIPSEL_TOOLCHAIN_PREFIX:-mipsel-linux-gnu-}
readelf=${prefix}readelf

out=$(cd "$build" && pwd)/soft-float
rm -rf "$out"
mkdir -p "$out/shim/gnu"
: >"$out/shim/gnu/stubs-o32_soft.h"

# The plug-in's own sources: those of its object library and its entry point.
mapfile -t entries < <(jq -r '.[] | select(.command | test(" -o CMakeFiles/battery32(_objects)?\\.dir/"))
                              | [.directory, .file, .command] | @tsv' "$commands")
[[ ${#entries[@]} -gt 0 ]] || fail "no plug-in sources in $commands"

count=0
for entry in "${entries[@]}"; do
  IFS=$'\t' read -r directory file command <<<"$entry"
  object="$out/$(basename "$file").o"
  # The build's own command without its output, dependency-file and input
  # arguments; the flags contain no quoted blanks.
  read -ra words <<<"$command"
  args=()
  skip=0
  for word in "${words[@]}"; do
    if [[ $skip -eq 1 ]]; then skip=0; continue; fi
    case "$word" in
      -o | -MT | -MF | -c) skip=1 ;;
      -MD) ;;
      *) args+=("$word") ;;
    esac
  done
  (cd "$directory" &&
    "${args[@]}" -msoft-float -isystem "$out/shim" -c "$file" -o "$object") ||
    fail "$file does not compile for o32 soft-float"
  abi=$("$readelf" -A "$object" | sed -n 's/^FP ABI: *//p')
  [[ "$abi" == "Soft float" ]] || fail "$object: FP ABI is '${abi:-none}', not soft float"
  count=$((count + 1))
done
echo "soft-float: $count plug-in sources compile for o32 soft-float (FP ABI: Soft float) in $out"
