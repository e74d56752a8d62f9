#!/usr/bin/env bash
# Checks that a cross-built plug-in is one the mipsel host can load: 32-bit
# little-endian MIPS ELF, entry point exported under its C name, and no text
# relocations (the host maps plug-ins read-only and cannot patch their code).
# Prints one line with its stripped size, the size it has on the device.
# Usage: scripts/check-mipsel-plugin.sh [PLUGIN]   (default build-mipsel/libbattery32.so)
set -euo pipefail

plugin=${1:-build-mipsel/libbattery32.so}
prefix=${MIPSEL_TOOLCHAIN_PREFIX:-mipsel-linux-gnu-}
readelf=${prefix}readelf
command -v "$readelf" >/dev/null || readelf=readelf
strip=${prefix}strip

fail() { echo "check-mipsel-plugin: $plugin: $*" >&2; exit 1; }
[[ -f "$plugin" ]] || fail "not found"

header=$("$readelf" -h "$plugin")
grep -Eq '^ *Class: +ELF32$' <<<"$header" || fail "not ELF32"
grep -Eq '^ *Data: +.*little endian' <<<"$header" || fail "not little-endian"
grep -Eq '^ *Machine: +MIPS' <<<"$header" || fail "not MIPS"

# Defined (section index not UND), global function, name exactly get_providers.
"$readelf" -W --dyn-syms "$plugin" |
  awk '$4 == "FUNC" && $5 == "GLOBAL" && $7 != "UND" && $8 == "get_providers" { found = 1 }
       END { exit !found }' ||
  fail "get_providers is not a defined global function in the dynamic symbol table"

if "$readelf" -W -d "$plugin" | grep -qw TEXTREL; then
  fail "has text relocations"
fi

stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
"$strip" -o "$stripped" "$plugin"
echo "mipsel plug-in $plugin: $(stat -c %s "$stripped") bytes stripped (ELF32 LE MIPS, get_providers exported, no TEXTREL)"
