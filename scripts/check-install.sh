#!/usr/bin/env bash
# Installs into a scratch root and runs what was installed as it lies there,
# with nothing of a build tree on its paths: --version of both programs,
# --check and two simulated rounds of the runner, which must take the
# installed plug-in, examples and host library; then systemd-analyze verify on
# the installed unit (its man pages found among the installed ones).
#
# Usage: scripts/check-install.sh build BUILD_DIR BINDIR PLUGIN EXAMPLES_DIR UNIT MANDIR
#        scripts/check-install.sh debs "GATEWAY.deb PLUGIN.deb" BINDIR PLUGIN EXAMPLES_DIR UNIT MANDIR
#   build: cmake --install of BUILD_DIR with DESTDIR; debs: the packages unpacked.
#   The last five as installed, without the scratch root (/usr/bin, ...).
set -euo pipefail

from=$1 what=$2 bindir=$3 plugin=$4 examples=$5 unit=$6 mandir=$7
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root

fail() {
  echo "check-install: $*" >&2
  exit 1
}
# A run with an environment of nothing but a plain PATH.
plain() { env -i PATH=/usr/bin:/bin "$@"; }

case $from in
  build) DESTDIR=$root cmake --install "$what" >/dev/null ;;
  debs) for deb in $what; do dpkg-deb -x "$deb" "$root"; done ;;
  *) fail "install from what? ($from)" ;;
esac
runner=$root$bindir/battery32-run

plain "$runner" --version | grep -Eq '^battery32-run [0-9]+\.[0-9]+\.[0-9]+' ||
  fail "battery32-run --version: $(plain "$runner" --version)"
plain "$root$bindir/battery-module-sim" --version | grep -Eq '^battery-module-sim [0-9]+\.' ||
  fail "battery-module-sim --version: $(plain "$root$bindir/battery-module-sim" --version)"

# The host library from the installed tree, through a run path relative to the program.
loaded=$(plain LD_TRACE_LOADED_OBJECTS=1 "$runner" | grep libzorhost || true)
[[ $loaded == *"=> $root"* ]] || fail "the runner loads its host library as: $loaded"

cd "$scratch"
check=$(plain "$runner" --check --simulate) || fail "--check --simulate: $check"
[[ $check == *"taken by $root$plugin;"* ]] || fail "--check took another plug-in: $check"

run=$(plain "$runner" --simulate --rounds 2 --tick-ms 100 --baud 0 --quiet-device) ||
  fail "--simulate --rounds 2 ended with $?: $run"
for expected in "plug-in $root$plugin" "site $root$examples/site.json: 2 devices" \
  "[1001] round 2" "[1002] round 2" "battery32-run: stopped; "; do
  [[ $run == *"$expected"* ]] || fail "--simulate --rounds 2 did not say \"$expected\": $run"
done

# The unit as installed, but for the program's path, which lies in the scratch root.
mkdir units
sed "s|^ExecStart=$bindir/|ExecStart=$root$bindir/|" "$root$unit" >units/battery32-run@site.service
verify=$(MANPATH=$root$mandir systemd-analyze verify units/battery32-run@site.service 2>&1) ||
  fail "systemd-analyze verify: $verify"
[[ -z $verify ]] || fail "systemd-analyze verify: $verify"
echo "check-install: the installed programs run, take their own files, and the unit verifies"
