#!/usr/bin/env bash
# The detection pass on two cores: `psctrawl --batch` with the defaults on a 1-hour 20 kHz
# gap-free recording (the one of psc_bench.sh) against one bare Gaussian filter + dI/dt pass over
# the same 72 million samples (psc_filter_pass), both timed in the same run, interleaved, best of
# ROUNDS. Given a second psctrawl (e.g. a build of an earlier tree, which prepares the frames one
# by one), that one is timed as well and its outputs are compared with the first one's.
# Prints the load average before and after, since the machine may be shared.
# Usage: bench/psc_pipeline_bench.sh [BUILD_DIR [OTHER_PSCTRAWL [ROUNDS]]]   (default: build, none, 5)
set -euo pipefail
build=${1:-build}
other=${2:-}
rounds=${3:-5}
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
cat "$recording" >/dev/null  # into the page cache

now() { date +%s.%N; }
# run NAME COMMAND...: wall seconds into best[NAME] (the smallest), peak kB into peak[NAME].
declare -A best peak
run() {
    local name=$1
    shift
    local t0 t1 wall kb
    t0=$(now)
    /usr/bin/time -v -o "$work/$name.time" "$@" >"$work/$name.out" 2>"$work/$name.err"
    t1=$(now)
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/$name.time")
    if [ -z "${best[$name]:-}" ] || awk -v a="$wall" -v b="${best[$name]}" 'BEGIN { exit !(a < b) }'; then
        best[$name]=$wall
    fi
    if [ -z "${peak[$name]:-}" ] || [ "$kb" -gt "${peak[$name]}" ]; then peak[$name]=$kb; fi
}
args=(--batch --no-ini --quiet --overwrite)

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for _ in $(seq "$rounds"); do
    run bare "$filter_pass" 72000000 30000
    run pipelined "$psctrawl" "${args[@]}" --output-dir "$work/pipelined" "$recording"
    if [ -n "$other" ]; then run other "$other" "${args[@]}" --output-dir "$work/other" "$recording"; fi
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"

line() {  # line NAME LABEL
    awk -v l="$2" -v t="${best[$1]}" -v m="${peak[$1]}" -v b="${best[bare]}" 'BEGIN {
        printf "%-44s %7.3f s  peak %6.1f MB  %5.2f x the bare pass\n", l, t, m / 1024, t / b }'
}
line bare "bare filter + dI/dt pass (psc_filter_pass)"
line pipelined "psctrawl --batch, defaults ($psctrawl)"
if [ -n "$other" ]; then
    line other "psctrawl --batch, defaults ($other)"
    if diff -r "$work/pipelined" "$work/other" >/dev/null && cmp -s "$work/pipelined.out" "$work/other.out" &&
        cmp -s "$work/pipelined.err" "$work/other.err"; then
        echo "outputs, standard output and standard error: identical"
    else
        echo "outputs differ"
    fi
fi
echo "(wall time: best of $rounds; peak memory: largest maximum resident set size; nproc $(nproc))"
