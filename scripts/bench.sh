#!/usr/bin/env bash
# Builds the benchmarks and runs every one of them: the machine, each benchmark's tables, then
# every target in one table. The report is also kept in <build dir>/bench-report.md.
#
#   scripts/bench.sh [--quick] [--build-dir DIR] [-- options for the benchmarks]
#
# --quick runs each briefly (about a minute in all, against about 6). The build is the release
# preset (RelWithDebInfo, build/release) unless --build-dir names another; options after -- go to
# every benchmark (--cpu N|none, --slave-cpu N|none). docs/PERFORMANCE.md says what is measured.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
quick=()
build="$top/build/release"
extra=()
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) quick=(--quick) ;;
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
        sed -n '2,10p' "$0"
        exit 0
        ;;
    *)
        echo "unknown option: $1 (see --help)" >&2
        exit 2
        ;;
    esac
    shift
done

# shellcheck source=scripts/optimised_build.sh
. "$top/scripts/optimised_build.sh"
optimised_build "$build" bench_exchange bench_wire_time bench_schedule bench_program

report="$build/bench-report.md"
targets="$(mktemp)"
failed="$(mktemp)"
trap 'rm -rf "$targets" "$failed" "${runtime:-}"' EXIT
# Qt wants a runtime folder, and a login session is not a given here.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    runtime="$(mktemp -d)"
    export XDG_RUNTIME_DIR="$runtime"
fi
compiler="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")"

run() {
    local name="$1"
    shift
    # Bounded, so one stuck benchmark cannot hold the others up.
    if ! timeout 900 "$build/bench/$name" --targets "$targets" "${quick[@]}" "${extra[@]}" "$@"; then
        echo "$name" >>"$failed"
    fi
}

{
    echo "# Quarin benchmarks"
    echo
    echo "- when: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$top" rev-parse --short HEAD)$(
        git -C "$top" diff --quiet HEAD -- src || echo ' (src modified)')"
    echo "- machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) CPUs," \
        "$(awk '/MemTotal/ {printf "%.0f GB", $2 / 1048576}' /proc/meminfo), $(uname -sr)"
    echo "- load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "- build: $(grep -m1 '^CMAKE_BUILD_TYPE' "$build/CMakeCache.txt" | cut -d= -f2)," \
        "$("${compiler:-c++}" --version | head -1)${quick:+, --quick}"
    echo
    run bench_exchange
    run bench_wire_time
    run bench_schedule
    run bench_program
    echo "## Targets"
    echo
    echo "| target | measured | limit | met |"
    echo "| --- | --- | --- | --- |"
    awk -F'\t' '{printf "| %s | %s | %s | %s |\n", $1, $2, $3, $4}' "$targets"
    echo
    echo "- load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
    if [ -s "$failed" ]; then
        echo "- did not finish cleanly: $(tr '\n' ' ' <"$failed")"
    fi
} 2>&1 | tee "$report"
echo "(kept in $report)" >&2
[ ! -s "$failed" ]
