#!/usr/bin/env bash
# Installs the Debian 12 packages a group of work needs; skips what is there. Nothing is left to
# Recommends (apt-get runs with --no-install-recommends), so every package is named here.
#
#   scripts/install-deps.sh [run|test|extras]...      default: test
#
# run     building and starting the program (make run)
# test    run, plus every test of make test: peers, sanitizers, fuzzing, the install test
# extras  test, plus the measuring and picture scripts (bench, soak, memcheck, shutdown, screenshot)
set -euo pipefail
run=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev xdg-utils)
# libmodbus and pymodbus are the independent peers; pymodbus' server imports serial and
# serial_asyncio, which python3-pymodbus only recommends.
test=(libgtest-dev libmodbus-dev python3 python3-pymodbus python3-serial python3-serial-asyncio
      clang-format clang libclang-rt-14-dev
      lintian appstream desktop-file-utils dpkg-dev)
# memcheck: valgrind; shutdown: gdb for a hung process; screenshot: Xvfb and ImageMagick's
# import and convert; the icons' render.sh: rsvg-convert.
extras=(valgrind gdb xvfb imagemagick librsvg2-bin)

packages=()
[ $# -gt 0 ] || set -- test
for group in "$@"; do
    case "$group" in
    run) packages+=("${run[@]}") ;;
    test) packages+=("${run[@]}" "${test[@]}") ;;
    extras) packages+=("${run[@]}" "${test[@]}" "${extras[@]}") ;;
    *)
        echo "install-deps: unknown group '$group' (run, test or extras)" >&2
        exit 2
        ;;
    esac
done
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
