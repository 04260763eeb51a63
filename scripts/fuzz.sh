#!/usr/bin/env bash
# Long fuzz runs: builds a fuzz target in the fuzz preset and runs it on a working corpus seeded from the
# repository's, then prints the executions, the coverage (edges), the corpus, the time taken and every
# crash found with the file its input was saved in.
#
#   scripts/fuzz.sh <target> [--runs N] [--jobs N] [--seed N] [-- libFuzzer options...]
#
# --runs: inputs in all (default 1000000); --jobs: processes sharing the runs and the working corpus
# (default 1); after --, options for libFuzzer itself (for example -entropic=0: the driver target spends a
# quarter of its time in the entropic schedule's bookkeeping, with 16,000 features). The working corpus,
# the crashes and one log per process (seed-<its seed>.log, so that runs with other seeds can share the
# corpus at the same time) live in build/fuzz/fuzz-work/<target>/; a crash input worth keeping goes into
# tests/fuzz/corpus/<target>/ as a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { echo "usage: scripts/fuzz.sh <target> [--runs N] [--jobs N] [--seed N] [-- libFuzzer options...]" >&2; exit 2; }
[ $# -ge 1 ] || usage
target=$1
shift
runs=1000000
jobs=1
seed=1
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) runs=${2:?}; shift 2 ;;
    --jobs) jobs=${2:?}; shift 2 ;;
    --seed) seed=${2:?}; shift 2 ;;
    --) shift; break ;;
    *) usage ;;
    esac
done
[ -d "tests/fuzz/corpus/$target" ] || { echo "fuzz: no seed corpus tests/fuzz/corpus/$target" >&2; exit 2; }

[ -f build/fuzz/build.ninja ] || cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "$target"
binary=build/fuzz/tests/fuzz/$target
work=build/fuzz/fuzz-work/$target
mkdir -p "$work/corpus" "$work/crashes"
cp -n "tests/fuzz/corpus/$target"/* "$work/corpus/" 2>/dev/null || true

# For throughput: shorter allocation stacks in reports and a quarantine of 64 MB, still more than one input
# allocates (a third less system time for the driver target, which allocates megabytes per input), and an
# RSS limit far enough away that libFuzzer does not purge the allocator every second once past half of it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=8:quarantine_size_mb=64}

start=$(date +%s)
pids=()
for ((job = 0; job < jobs; job++)); do
    job_runs=$((runs / jobs + (job < runs % jobs ? 1 : 0)))
    "$binary" -runs="$job_runs" -seed=$((seed + job)) -timeout=60 -rss_limit_mb=8192 -print_final_stats=1 \
        -artifact_prefix="$work/crashes/" "$@" "$work/corpus" >"$work/seed-$((seed + job)).log" 2>&1 &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
seconds=$(($(date +%s) - start))

executions=0
coverage=0
for ((job = 0; job < jobs; job++)); do
    log=$work/seed-$((seed + job)).log
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    executions=$((executions + ${n:-0}))
    c=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    [ "${c:-0}" -gt "$coverage" ] && coverage=$c
done
echo "fuzz $target: $executions executions in ${seconds} s ($((executions / (seconds > 0 ? seconds : 1))) exec/s)," \
    "coverage $coverage edges, corpus $(ls "$work/corpus" | wc -l) inputs in $work/corpus"
found=0
for crash in "$work"/crashes/*; do
    [ -e "$crash" ] || continue
    case "$(basename "$crash")" in
    slow-unit-*) echo "slow input (not a breach) saved: $crash" ;;
    *)
        found=1
        echo "crash input saved: $crash"
        ;;
    esac
done
for ((job = 0; job < jobs; job++)); do
    grep -h -A3 -E ': breach|ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error|winsim: |bug check' \
        "$work/seed-$((seed + job)).log" | head -20 || true
done
if [ $found -eq 0 ] && [ $status -eq 0 ]; then
    echo "no crash"
fi
exit $status
