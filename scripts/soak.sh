#!/usr/bin/env bash
# Builds the soak and runs it: the console through 100,000 TCP and 10,000 pty transactions with
# one reply in ten spoiled, then 100 starts of the log viewer. Prints the figures; the exit status
# is the soak's (0 only when every check passed).
#
#   scripts/soak.sh [--build-dir DIR] [-- options for quarin_soak]
#
# The build is the release preset (RelWithDebInfo, build/release) unless --build-dir names another;
# options after -- go to the soak (--tcp N, --pty M, --programs K, --seed S, --no-rss).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$top/build/release"
extra=()
while [ $# -gt 0 ]; do
    case "$1" in
    --build-dir)
        build="$(realpath -m "$2")"
        shift
        ;;
    --)
        shift
        extra=("$@")
        break
        ;;
    -h | --help)
        sed -n '2,9p' "$0"
        exit 0
        ;;
    *)
        echo "unknown option: $1 (see --help)" >&2
        exit 2
        ;;
    esac
    shift
done

# Warnings are the dev build's gate; an optimised build only has to build.
if [ "$build" = "$top/build/release" ]; then
    cmake --preset release -DQUARIN_WERROR=OFF >/dev/null
elif [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUARIN_BUILD_BENCH=ON -DQUARIN_WERROR=OFF >/dev/null
fi
cmake --build "$build" --parallel 2 --target quarin_soak >/dev/null

echo "# Quarin soak"
echo
echo "- when: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$top" rev-parse --short HEAD)"
echo "- machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) CPUs," \
    "$(uname -sr), load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- build: $(grep -m1 '^CMAKE_BUILD_TYPE' "$build/CMakeCache.txt" | cut -d= -f2)"
echo
start=$(date +%s)
status=0
# Bounded: a transaction that hangs ends the run, but a stuck one must not hold the machine.
timeout 3600 "$build/bench/quarin_soak" "${extra[@]}" || status=$?
echo "- wall time: $(($(date +%s) - start)) s, exit status $status"
exit "$status"
