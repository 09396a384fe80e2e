#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need; skips what is there.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev libgtest-dev
          libmodbus-dev python3 python3-pymodbus clang-format clang libclang-rt-14-dev)
# The install test's checkers: lintian, AppStream, desktop entries, dpkg-shlibdeps for CPack.
packages+=(lintian appstream desktop-file-utils dpkg-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
