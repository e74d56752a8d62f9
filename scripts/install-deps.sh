#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those not already present.
# Usage: scripts/install-deps.sh [native] [cross] [deb] [fuzz] [bench] [mutants]
set -euo pipefail

want=()
for set in "${@:-native}"; do
  case "$set" in
    # clang-format-14: the sources are kept in its format (versions format
    # differently); clang-format gives it its plain name. clang-tidy-14 measures
    # function lengths. prometheus: the metrics tests check a scrape with its
    # promtool and start its server. fonts-wqy-microhei: the browser test's
    # screenshot shows the device's Chinese display names.
    native) want+=(cmake make g++ libboost-dev libjsoncpp-dev libgtest-dev libgmock-dev
                   libmicrohttpd-dev libjs-chart.js chromium fonts-wqy-microhei python3
                   libmosquitto-dev mosquitto mosquitto-clients openssl prometheus
                   clang-format-14 clang-format clang-tidy-14
                   systemd man-db) ;;
    cross)  want+=(g++-mipsel-linux-gnu qemu-user binutils-mipsel-linux-gnu jq) ;;
    # The Debian packages: debhelper builds them, lintian checks them.
    deb)    want+=(debhelper dpkg-dev fakeroot lintian pkgconf) ;;
    fuzz)   want+=(clang libclang-rt-14-dev) ;;
    bench)  want+=(libbenchmark-dev) ;;
    mutants) want+=(python3 ninja-build) ;;
    *) echo "install-deps: unknown set '$set'" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${want[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
