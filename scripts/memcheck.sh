#!/usr/bin/env bash
# Runs the soak under valgrind's memcheck: 2,000 transactions (1,600 TCP, 400 pty) and 100 starts
# of the log viewer. Passes when valgrind reports no error and nothing definitely lost, and the
# soak's own checks pass (the resident size is valgrind's here, so it is not judged).
#
#   scripts/memcheck.sh [--build-dir DIR] [-- options for quarin_soak]
#
# The build must be one without sanitizers: the release preset (build/release) unless --build-dir
# names another. valgrind's full report is kept in <build dir>/memcheck.log.
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
command -v valgrind >/dev/null || {
    echo "valgrind is not installed" >&2
    exit 2
}

if [ "$build" = "$top/build/release" ]; then
    cmake --preset release -DQUARIN_WERROR=OFF >/dev/null
elif [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUARIN_BUILD_BENCH=ON -DQUARIN_WERROR=OFF >/dev/null
fi
if grep -q -- '-fsanitize' "$build/CMakeCache.txt"; then
    echo "$build is a sanitizer build; valgrind needs one without" >&2
    exit 2
fi
cmake --build "$build" --parallel 2 --target quarin_soak >/dev/null
soak="$build/bench/quarin_soak"
log="$build/memcheck.log"

echo "# Quarin memcheck"
echo
echo "- when: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$top" rev-parse --short HEAD)"
echo "- $(valgrind --version), build: $(grep -m1 '^CMAKE_BUILD_TYPE' "$build/CMakeCache.txt" | cut -d= -f2)"
echo "- Qt linked into the soak: $(ldd "$soak" | grep -q 'libQt' && echo yes || echo no)"
echo
start=$(date +%s)
status=0
timeout 3600 valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite \
    --error-exitcode=1 --num-callers=30 --log-file="$log" \
    "$soak" --tcp 1600 --pty 400 --no-rss "${extra[@]}" || status=$?
elapsed=$(($(date +%s) - start))

errors="$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -1)"
definite="$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -1)"
echo "## valgrind"
echo
echo "| figure | value |"
echo "| --- | --- |"
echo "| errors | ${errors:-?} |"
if grep -q 'All heap blocks were freed' "$log"; then
    echo "| heap at exit | all blocks freed, nothing lost or still reachable |"
else
    echo "| definitely lost | ${definite:-?} bytes |"
    for kind in "indirectly lost" "possibly lost" "still reachable"; do
        echo "| $kind | $(sed -n "s/.*$kind: \([0-9,]* bytes in [0-9,]* blocks\).*/\1/p" "$log" | tail -1) |"
    done
fi
echo "| exit status | $status |"
echo "| wall time | $elapsed s |"
echo
echo "(valgrind's report: $log)"
[ "$status" -eq 0 ] && [ "${errors:-1}" = 0 ] && [ "${definite:-0}" = 0 ]
