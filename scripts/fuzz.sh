#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, ASan + UBSan) and fuzzes each parser.
#
#   scripts/fuzz.sh [seconds-per-target] [-jobs N]
#       Runs every target for the given time (20 s by default) over a scratch copy of its corpus
#       and regressions in build/fuzz/work, so fuzz/corpus stays as committed. Any crash, leak,
#       time-out or failed check fails the run; the input is left in build/fuzz/findings/<target>.
#   scripts/fuzz.sh --runs N [-jobs J]
#       Runs every target until N inputs have been executed (N/J per job), however long it takes.
#   Either form takes --only t1,t2 to run just those targets.
#   scripts/fuzz.sh --merge
#       Minimises the committed corpus, the seeds of fuzz/make_seeds.py and what the last runs
#       found back into fuzz/corpus (libFuzzer -merge=1).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

targets=(rtu_reply ascii_reply tcp_reply identification write_echo settings_file log_line value_text)
seconds=20
jobs=1
runs=0
merge=0
usage="usage: scripts/fuzz.sh [seconds-per-target | --runs N] [-jobs J] [--only t1,t2] | --merge"
while [ $# -gt 0 ]; do
    case "$1" in
    --merge) merge=1 ;;
    -jobs | --jobs)
        [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
        jobs="$2"
        shift
        ;;
    -jobs=* | --jobs=*) jobs="${1#*=}" ;;
    --only)
        [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
        IFS=, read -r -a targets <<<"$2"
        shift
        ;;
    --runs)
        [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || { echo "$usage" >&2; exit 2; }
        runs="$2"
        shift
        ;;
    *[!0-9]* | '') echo "$usage" >&2; exit 2 ;;
    *) seconds="$1" ;;
    esac
    shift
done

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

root=$(pwd)
bin=$root/build/fuzz/fuzz
work=$root/build/fuzz/work
findings=$root/build/fuzz/findings

# Long enough for the longest reply a target reads (a 512-byte identification read behind its
# settings bytes, a TCP reply in pieces with their control bytes) and for an odd settings file.
max_len() {
    case "$1" in
    settings_file) echo 2048 ;;
    rtu_reply | ascii_reply | tcp_reply) echo 1100 ;;
    *) echo 600 ;;
    esac
}

if [ "$merge" -eq 1 ]; then
    seeds=$(mktemp -d)
    trap 'rm -rf "$seeds"' EXIT
    python3 fuzz/make_seeds.py "$seeds" >/dev/null
    for t in "${targets[@]}"; do
        merged="$seeds/merged-$t"
        mkdir -p "$merged" "fuzz/corpus/$t"
        sources=("fuzz/corpus/$t" "$seeds/$t")
        [ -d "$work/$t" ] && sources+=("$work/$t")
        "$bin/${t}_fuzz" -merge=1 -max_len="$(max_len "$t")" -timeout=10 "$merged" "${sources[@]}" \
            >"$seeds/$t.log" 2>&1 || { cat "$seeds/$t.log" >&2; exit 1; }
        rm -rf "fuzz/corpus/$t"
        mv "$merged" "fuzz/corpus/$t"
        printf '%-15s %5d inputs %6s\n' "$t" "$(find "fuzz/corpus/$t" -type f | wc -l)" \
            "$(du -sh --apparent-size "fuzz/corpus/$t" | cut -f1)"
    done
    exit 0
fi

failed=()
for t in "${targets[@]}"; do
    rm -rf "${work:?}/$t" "$work/$t.logs" "${findings:?}/$t"
    mkdir -p "$work/$t" "$findings/$t" "$work/$t.logs"
    for d in "fuzz/corpus/$t" "fuzz/regressions/$t"; do
        [ -d "$d" ] && cp -r "$d/." "$work/$t/"
    done
    args=("$work/$t" -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix="$findings/$t/")
    if [ "$runs" -gt 0 ]; then
        args+=(-runs=$(((runs + jobs - 1) / jobs)))
    else
        args+=(-max_total_time="$seconds")
    fi
    [ "$jobs" -gt 1 ] && args+=(-jobs="$jobs" -workers="$jobs")
    status=0
    # With -jobs every job writes fuzz-<n>.log into the working folder.
    started=$(date +%s)
    (cd "$work/$t.logs" && "$bin/${t}_fuzz" "${args[@]}" >run.log 2>&1) || status=$?
    took=$(($(date +%s) - started))
    # With -jobs the parent repeats each job's log in run.log: count the jobs' own logs only.
    logs=("$work/$t.logs"/run.log)
    [ "$jobs" -gt 1 ] && logs=("$work/$t.logs"/fuzz-*.log)
    executed=$(cat "${logs[@]}" | sed -n 's/^stat::number_of_executed_units: *//p' |
        awk '{ n += $1 } END { print n + 0 }')
    found=$(find "$findings/$t" -type f | wc -l)
    printf '%-15s %12d runs in %ss x %d job(s), corpus %d\n' "$t" "$executed" "$took" "$jobs" \
        "$(find "$work/$t" -type f | wc -l)"
    if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
        failed+=("$t")
        echo "  FINDING in $t (exit $status): $findings/$t, log $work/$t.logs" >&2
        grep -h -m3 -E 'ERROR|fuzz check failed|runtime error' "$work/$t.logs"/*.log >&2 || true
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing found problems in: ${failed[*]}" >&2
    exit 1
fi
echo "fuzzing: no findings"
