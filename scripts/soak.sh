#!/usr/bin/env bash
# Builds the soak and runs it: the console through 100,000 TCP and 10,000 pty transactions with
# one reply in ten spoiled, then 100 starts of the log viewer. Prints the figures; the exit status
# is the soak's (0 only when every check passed).
#
#   scripts/soak.sh [--memcheck] [--build-dir DIR] [-- options for quarin_soak]
#
# --memcheck runs it under valgrind's memcheck instead, over 2,000 transactions (1,600 TCP, 400
# pty) and 100 viewers: it passes when valgrind reports no error and nothing definitely lost and
# the soak's own checks pass (the resident size is valgrind's there, so it is not judged); the full
# report is kept in <build dir>/memcheck.log. The build is the release preset (RelWithDebInfo,
# build/release) unless --build-dir names another, which must not be a sanitizer build; options
# after -- go to the soak (--tcp N, --pty M, --programs K, --seed S, --no-rss).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$top/build/release"
memcheck=0
extra=()
while [ $# -gt 0 ]; do
    case "$1" in
    --memcheck) memcheck=1 ;;
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
        sed -n '2,13p' "$0"
        exit 0
        ;;
    *)
        echo "unknown option: $1 (see --help)" >&2
        exit 2
        ;;
    esac
    shift
done
if [ "$memcheck" -eq 1 ] && ! command -v valgrind >/dev/null; then
    echo "valgrind is not installed" >&2
    exit 2
fi

# shellcheck source=scripts/optimised_build.sh
. "$top/scripts/optimised_build.sh"
optimised_build "$build" quarin_soak
if [ "$memcheck" -eq 1 ] && grep -q -- '-fsanitize' "$build/CMakeCache.txt"; then
    echo "$build is a sanitizer build; valgrind needs one without" >&2
    exit 2
fi
soak="$build/bench/quarin_soak"
build_type="$(grep -m1 '^CMAKE_BUILD_TYPE' "$build/CMakeCache.txt" | cut -d= -f2)"

echo "# Quarin $([ "$memcheck" -eq 1 ] && echo memcheck || echo soak)"
echo
echo "- when: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$top" rev-parse --short HEAD)"
echo "- machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) CPUs," \
    "$(uname -sr), load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- build: $build_type"
if [ "$memcheck" -eq 1 ]; then
    echo "- $(valgrind --version), Qt linked into the soak: $(ldd "$soak" | grep -q 'libQt' && echo yes || echo no)"
fi
echo
start=$(date +%s)
status=0
# Bounded: a transaction that hangs ends the run, but a stuck one must not hold the machine.
if [ "$memcheck" -eq 0 ]; then
    timeout 3600 "$soak" "${extra[@]}" || status=$?
    echo "- wall time: $(($(date +%s) - start)) s, exit status $status"
    exit "$status"
fi

log="$build/memcheck.log"
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
