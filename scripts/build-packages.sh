#!/usr/bin/env bash
# Builds the Debian packages with debhelper (debian/): battery32-gateway and
# battery32-plugin for the build machine, and battery32-plugin for mipsel from
# the cross build. The sources are exported into OUT/src first (what git
# tracks, and new files it does not ignore), so the working tree gets no
# build output; the .deb files end up in OUT, the exported tree is removed.
#
# Usage: scripts/build-packages.sh [OUT]      (default build-deb)
#   MIPSEL_BUILD_DIR  where scripts/mipsel-sysroot.sh keeps the mipsel
#                     libraries (default build-mipsel)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=$(mkdir -p "${1:-build-deb}" && cd "${1:-build-deb}" && pwd)
sysroot=$(mkdir -p "${MIPSEL_BUILD_DIR:-build-mipsel}/sysroot" &&
  cd "${MIPSEL_BUILD_DIR:-build-mipsel}/sysroot" && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh native cross deb
scripts/mipsel-sysroot.sh "$sysroot"

# The version from its one place, checked against the package's.
version=$(sed -n 's/^project(battery32 VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
packaged=$(dpkg-parsechangelog -S Version)
if [[ "$packaged" != "$version" ]]; then
  echo "build-packages: debian/changelog says $packaged, CMakeLists.txt $version" >&2
  exit 1
fi
commit=$(git rev-parse --short HEAD 2>/dev/null || true)
[[ -n "$commit" && -n "$(git status --porcelain --untracked-files=no)" ]] &&
  commit="$commit-modified"

rm -rf "$out/src" "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
tree=$out/src/battery32-$version
mkdir -p "$tree"
if git rev-parse --git-dir >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    (cd "$root" && xargs -0 cp --parents -a -t "$tree")
else
  tar -C "$root" --exclude='./build*' --exclude=./data -cf - . | tar -C "$tree" -xf -
fi

# dpkg-shlibdeps learns what the mipsel plug-in's libraries are from their
# packages' own shlibs and symbols files: each package unpacked with its
# control area (dpkg-deb -R) and named with -S.
runtime=$out/mipsel-runtime
mkdir -p "$runtime/.debs"
for pkg in libc6 libstdc++6 libgcc-s1; do
  compgen -G "$runtime/.debs/${pkg}_*_mipsel.deb" >/dev/null ||
    (cd "$runtime/.debs" && apt-get download -q -o APT::Sandbox::User=root "$pkg:mipsel")
done
shlibs=()
for deb in "$runtime"/.debs/*_mipsel.deb "$sysroot"/.debs/libjsoncpp25_*_mipsel.deb; do
  dir=$runtime/$(basename "$deb" .deb)
  [[ -d "$dir" ]] || dpkg-deb -R "$deb" "$dir"
  shlibs+=("$dir")
done

# build NAME ARGS...: dpkg-buildpackage ARGS in the exported tree, its log in OUT/NAME.log.
build() {
  local name=$1
  shift
  (cd "$tree" && BATTERY32_COMMIT="$commit" DEB_BUILD_OPTIONS="nocheck parallel=$jobs" \
    dpkg-buildpackage -us -uc "$@") >"$out/$name.log" 2>&1 || {
    tail -40 "$out/$name.log" >&2
    echo "build-packages: dpkg-buildpackage $* failed (log: $out/$name.log)" >&2
    exit 1
  }
}
build native -b
# -d: the mipsel libraries are not installed, they lie in the sysroot.
BATTERY32_MIPSEL_DEPS=$sysroot BATTERY32_MIPSEL_SHLIBS="${shlibs[*]}" \
  build mipsel -B -amipsel -d -Ppkg.battery32.pluginonly,nocheck

mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/
rm -rf "$out/src"
ls "$out"/*.deb
