#!/usr/bin/env bash
# Checks the packages scripts/build-packages.sh made: lintian finds no error
# and no warning in any of them; each holds exactly the files it should, with
# dependencies computed from its binaries (a library the binary needs is
# named); the mipsel plug-in is a 32-bit MIPS library; and the gateway and the
# plug-in, unpacked into a scratch root with no build tree left, run as
# installed (scripts/check-install.sh).
#
# Usage: scripts/check-packages.sh [OUT]      (default build-deb)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-build-deb}
version=$(sed -n 's/^project(battery32 VERSION \([^ ]*\) .*/\1/p' "$root/CMakeLists.txt")
host_arch=$(dpkg --print-architecture)
host_multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
problems=0

problem() {
  echo "check-packages: $*" >&2
  problems=$((problems + 1))
}

deb() { echo "$out/$1_${version}_$2.deb"; }
gateway=$(deb battery32-gateway "$host_arch")
plugin=$(deb battery32-plugin "$host_arch")
mipsel_plugin=$(deb battery32-plugin mipsel)
for file in "$gateway" "$plugin" "$mipsel_plugin"; do
  [[ -f $file ]] || problem "$file is missing (make deb builds it)"
done
((problems == 0)) || exit 1

# Lintian, run as root only where it must (a CI container).
lintian_args=(--fail-on error,warning --display-info)
[[ $(id -u) -ne 0 ]] || lintian_args+=(--allow-root)
lintian "${lintian_args[@]}" "$out"/*.deb || problem "lintian found errors or warnings (above)"

# What each package holds: its files (directories aside) and its empty folders.
listing() {
  dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort
}
expect() {
  local file=$1
  shift
  local want
  want=$(printf '%s\n' "$@" | sort)
  [[ "$(listing "$file")" == "$want" ]] ||
    problem "$(basename "$file") holds other files than it should:
$(diff <(echo "$want") <(listing "$file") || true)"
}
docs() { printf 'usr/share/doc/%s/%s\n' "$1" changelog.gz "$1" copyright; }
expect "$gateway" \
  lib/systemd/system/battery32-run@.service \
  usr/bin/battery-module-sim usr/bin/battery32-run \
  "usr/lib/$host_multiarch/battery32/libzorhost.so" \
  usr/lib/sysusers.d/battery32.conf \
  usr/share/battery32/examples/sim.json usr/share/battery32/examples/site.json \
  usr/share/doc/battery32-gateway/README.md.gz $(docs battery32-gateway) \
  usr/share/man/man1/battery-module-sim.1.gz usr/share/man/man1/battery32-run.1.gz \
  usr/share/man/man5/battery32-site.5.gz
[[ $(dpkg-deb -c "$gateway") == *" ./etc/battery32/"* ]] || problem "no /etc/battery32/ in the gateway"
expect "$plugin" "usr/lib/$host_multiarch/battery32/plugins/libbattery32.so" $(docs battery32-plugin)
expect "$mipsel_plugin" usr/lib/mipsel-linux-gnu/battery32/plugins/libbattery32.so \
  $(docs battery32-plugin)

# Dependencies as dpkg-shlibdeps found them (debian/control names none but the plug-in).
for file in "$gateway" "$plugin" "$mipsel_plugin"; do
  depends=$(dpkg-deb -f "$file" Depends)
  for needed in "libc6 (>=" "libstdc++6 (>=" "libjsoncpp25 (>="; do
    [[ $depends == *"$needed"* ]] || problem "$(basename "$file"): Depends lacks $needed: $depends"
  done
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb --fsys-tarfile "$mipsel_plugin" |
  tar -xf - -C "$scratch" ./usr/lib/mipsel-linux-gnu/battery32/plugins/libbattery32.so
header=$(readelf -h "$scratch/usr/lib/mipsel-linux-gnu/battery32/plugins/libbattery32.so")
[[ $header == *"ELF32"* && $header == *"MIPS R3000"* && $header == *"little endian"* ]] ||
  problem "the mipsel plug-in is no 32-bit little-endian MIPS library: $header"

"$root/scripts/check-install.sh" debs "$gateway $plugin" /usr/bin \
  "/usr/lib/$host_multiarch/battery32/plugins/libbattery32.so" /usr/share/battery32/examples \
  /lib/systemd/system/battery32-run@.service /usr/share/man ||
  problem "the unpacked packages do not run as installed"

((problems == 0)) || exit 1
echo "check-packages: $(cd "$out" && echo *.deb): lintian clean, contents and dependencies as they should be"
