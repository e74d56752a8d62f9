#!/usr/bin/env bash
# Lays out the mipsel libraries the build uses in a private root: Debian's
# mipsel jsoncpp, GoogleTest and Boost packages, downloaded and unpacked rather
# than installed, since a multiarch install has to match the build machine's
# versions exactly and breaks whenever the two archives drift apart. The root
# holds their headers and their CMake package files, through which the build
# finds them; the build machine's /usr/include stays out of the cross build.
# Running it again reuses whatever is already downloaded and unpacked.
# Usage: scripts/mipsel-sysroot.sh [ROOT]    (default build-mipsel/sysroot)
set -euo pipefail

root=${1:-build-mipsel/sysroot}
mkdir -p "$root"
root=$(cd "$root" && pwd)
debs="$root/.debs"
packages=(libjsoncpp-dev libjsoncpp25 libgtest-dev libgmock-dev libboost1.74-dev)

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)

have_all_debs() {
  local pkg
  for pkg in "${packages[@]}"; do
    compgen -G "$debs/${pkg}_*_mipsel.deb" >/dev/null || return 1
  done
}

if ! have_all_debs; then
  if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    "${sudo_cmd[@]}" dpkg --add-architecture mipsel
  fi
  # The package lists know mipsel only after an update that followed the line above.
  if ! apt-cache show libjsoncpp25:mipsel >/dev/null 2>&1; then
    "${sudo_cmd[@]}" apt-get update -qq
  fi
  mkdir -p "$debs"
  for pkg in "${packages[@]}"; do
    compgen -G "$debs/${pkg}_*_mipsel.deb" >/dev/null && continue
    # apt's download sandbox user cannot write into a root-owned build tree.
    # Old package lists name versions the archive has dropped: refresh once.
    (cd "$debs" && apt-get download -q -o APT::Sandbox::User=root "$pkg:mipsel") ||
      { "${sudo_cmd[@]}" apt-get update -qq &&
        (cd "$debs" && apt-get download -q -o APT::Sandbox::User=root "$pkg:mipsel"); }
  done
fi

# Roots laid out before Boost was unpacked here link to the build machine's
# headers instead; unpacking must not write through that link.
[[ -L "$root/usr/include/boost" ]] && rm "$root/usr/include/boost"
for deb in "$debs"/*_mipsel.deb; do
  stamp="$debs/$(basename "$deb").unpacked"
  [[ -e "$stamp" ]] && continue
  dpkg-deb -x "$deb" "$root"
  touch "$stamp"
done
