#!/usr/bin/env bash
# End to end: `psctrawl --batch` on a 1-hour 20 kHz gap-free recording (72 million samples,
# 144 MB) made by abfsynth, with the default frame length and with 30000-sample frames: wall time,
# samples per second and peak memory, next to the time it takes to read the same file from the
# page cache and to one bare pass of the Gaussian filter and the dI/dt over the same samples
# (psc_filter_pass).
# Usage: bench/psc_bench.sh [BUILD_DIR]   (default: build; needs the psctrawl, abfsynth and
# psc_filter_pass targets)
set -euo pipefail
lines=()
build=${1:-build}
psctrawl="$build/apps/psctrawl/psctrawl"
abfsynth="$build/apps/abfsynth/abfsynth"
filter_pass="$build/bench/psc_filter_pass"
work="${TMPDIR:-/tmp}/psc_bench_hour"
mkdir -p "$work"
recording="$work/hour.abf"

if [ ! -f "$recording" ]; then
    echo "making $recording ..."
    "$abfsynth" --out "$recording" --duration 3600 --seed 7 >/dev/null
fi

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

cat "$recording" >/dev/null  # into the page cache
best_cat=""
for _ in 1 2 3; do
    t0=$(now); cat "$recording" >/dev/null; t1=$(now)
    t=$(seconds "$t0" "$t1")
    if [ -z "$best_cat" ] || awk -v a="$t" -v b="$best_cat" 'BEGIN { exit !(a < b) }'; then best_cat=$t; fi
done

# One timed run: wall seconds and peak resident memory (kB) from /usr/bin/time -v when it is
# there, else from the VmHWM of the process, read by a wrapper just before it exits.
measure() {  # measure OUT_PREFIX COMMAND...
    local prefix=$1
    shift
    if [ -x /usr/bin/time ]; then
        local t0 t1
        t0=$(now)
        /usr/bin/time -v -o "$prefix.time" "$@" >"$prefix.out"
        t1=$(now)
        wall=$(seconds "$t0" "$t1")
        peak_kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$prefix.time")
    else
        local t0 t1
        t0=$(now)
        "$@" >"$prefix.out" &
        local pid=$! hwm=0 v
        while kill -0 "$pid" 2>/dev/null; do
            v=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
            if [ -n "$v" ] && [ "$v" -gt "$hwm" ]; then hwm=$v; fi
            sleep 0.05
        done
        wait "$pid"
        t1=$(now)
        wall=$(seconds "$t0" "$t1")
        peak_kb=$hwm
    fi
}

# Best of 3 by wall time; the peak memory is the largest seen.
best_of_3() {  # best_of_3 NAME COMMAND...
    local name=$1
    shift
    best=""
    peak=0
    for _ in 1 2 3; do
        measure "$work/$name" "$@"
        if [ -z "$best" ] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$wall; fi
        if [ "$peak_kb" -gt "$peak" ]; then peak=$peak_kb; fi
    done
}

samples=72000000
best_of_3 bare "$filter_pass" "$samples" 30000
bare=$best
bare_peak=$peak

report() {  # report LABEL
    awk -v l="$1" -v t="$best" -v m="$peak" -v b="$bare" -v n="$samples" 'BEGIN {
        printf "%-46s %8.3f s  %9.3g samples/s  peak %7.1f MB  %5.1f x the bare filter pass\n",
               l, t, n / t, m / 1024, t / b }'
}

events=""
for setting in "" "Frame length (samples)=30000"; do
    extra=()
    if [ -n "$setting" ]; then extra=(--set "$setting"); fi
    best_of_3 run "$psctrawl" --batch --no-ini --quiet --overwrite --output-dir "$work/out" \
        --set "Diff. trigger ([+-]pa/ms)=-3" "${extra[@]}" "$recording"
    label="psctrawl --batch, ${setting:-defaults (frame 2048)}"
    lines+=("$(report "$label")")
    events="$events $(($(wc -l <"$work/out/HOUR.PRN") - 2))"
done

truth=$(($(wc -l <"$work/hour.truth.csv") - 1))
size=$(stat -c %s "$recording")
echo "recording: $recording ($size bytes, $samples samples)"
echo "cat from the page cache:           ${best_cat} s (best of 3)"
awk -v t="$bare" -v m="$bare_peak" -v n="$samples" 'BEGIN {
    printf "%-46s %8.3f s  %9.3g samples/s  peak %7.1f MB\n", "bare filter + dI/dt pass", t, n / t, m / 1024 }'
for l in "${lines[@]}"; do echo "$l"; done
echo "events found (defaults, frame 30000):$events; $truth in the truth"
echo "(times: best of 3 wall-clock runs; peak memory: maximum resident set size)"
