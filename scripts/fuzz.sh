#!/bin/sh
# Runs each reader fuzz target of build/fuzz for FUZZ_SECONDS seconds over its
# corpus (build/fuzz/corpus/<family>, seeded by the target itself), then prints
# the inputs run and the coverage of each. Findings (crashes, sanitizer reports,
# hangs, large allocations, failed oracles) are kept in build/fuzz/findings and
# make the script fail.
#   usage: scripts/fuzz.sh [build dir] [families...]   (FUZZ_SECONDS, default 60)
set -u
build=${1:-build/fuzz}
[ $# -gt 0 ] && shift
families=${*:-mrc star box text ctfstar}
seconds=${FUZZ_SECONDS:-60}
mkdir -p "$build/findings" "$build/logs"
status=0
summary=""
for family in $families; do
    target="$build/fuzz_$family"
    log="$build/logs/$family.log"
    echo "fuzzing the $family readers for ${seconds}s ($log)"
    # A fatal line's jump leaves blocks the harness gives back with free(),
    # whatever allocated them; leaks are judged per input by the harness.
    ASAN_OPTIONS=alloc_dealloc_mismatch=0:detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
        "$target" "$build/corpus/$family" -max_total_time="$seconds" -max_len=4112 -timeout=5 \
        -malloc_limit_mb=256 -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$family-" >"$log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -E "^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)" "$log" | tail -1 | sed -n 's/.*cov: \([0-9]*\) ft: \([0-9]*\) corp: \([0-9]*\).*/\1 edges, \2 features, corpus \3/p')
    line="$family: ${runs:-?} inputs, ${cov:-coverage unknown}"
    if [ $rc -ne 0 ]; then
        line="$line -- FINDING (exit $rc), see $log"
        status=1
    fi
    summary="$summary$line
"
done
printf '\n%s' "$summary"
exit $status
