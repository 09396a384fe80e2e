#!/usr/bin/env bash
# How fast the program is gone after its window closes while the worker waits: a TCP connection
# attempt, a socket wait, a serial read, the pre-send delay and a message box. RUNS runs of each
# (50 unless given); prints one table, exits 0 only when every run passed (gone within 1.5 s of
# the close, nothing logged, sent or shown after it). scripts/shutdown_check.py does the runs.
#
#   scripts/shutdown.sh [RUNS] [--build-dir DIR] [--phases a,b]
#
# The build is RelWithDebInfo in build/shutdown unless --build-dir names another. Needs root
# (the slaves listen at port 502 of loopback addresses), python3 and gdb (for a hung process).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
runs=50
build="$top/build/shutdown"
phases=()
while [ $# -gt 0 ]; do
    case "$1" in
    --build-dir)
        build="$(realpath -m "$2")"
        shift
        ;;
    --phases)
        phases=(--phases "$2")
        shift
        ;;
    -h | --help)
        sed -n '2,11p' "$0"
        exit 0
        ;;
    [0-9]*) runs="$1" ;;
    *)
        echo "unknown option: $1 (see --help)" >&2
        exit 2
        ;;
    esac
    shift
done

# shellcheck source=scripts/optimised_build.sh
. "$top/scripts/optimised_build.sh"
optimised_build "$build" quarin quarin_bench_probe
qt_runtime_dir
python3 "$top/scripts/shutdown_check.py" --runs "$runs" "${phases[@]}" \
    --program "$build/src/quarin" --probe "$build/bench/libquarin_bench_probe.so" \
    --keep "$build/shutdown-report"
