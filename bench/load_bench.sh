#!/usr/bin/env bash
# Load: `psctrawl --batch` and `spktal --batch` on one 4-hour recording at 20 kHz (288 million
# samples, 576 MB of int16) and on 50, 100 and 200 small recordings (10 s at 20 kHz each) given in
# one command: wall time, peak memory and throughput. A batch holds one recording at a time, so its
# peak memory should stay the same from 50 to 200 recordings; the last lines say how it moved.
#   psctrawl: gap-free voltage-clamp recordings (abfsynth --kind psc, 5 events/s), every event
#             found stored (--max-events 0); the 4-hour one also with the slope trigger at
#             -3 pA/ms as in psc_bench.sh, which finds most of its 72000 events.
#   spktal:   episodic current-clamp recordings (abfsynth --kind spikes); the long one is 1440
#             sweeps of 10 s with a 2 s current step rising 0.25 pA a sweep from 0 pA, the small
#             ones 5 sweeps of 2 s with a 0.5 s step from 50 pA in 50 pA steps.
# Recordings are made once by abfsynth into ${TMPDIR:-/tmp}/load_bench and reused by later runs;
# outputs go to its out/ folder and the programs read no settings (--no-ini, XDG_CONFIG_HOME
# pointed into the work folder).
# Usage: bench/load_bench.sh [BUILD_DIR]   (default: build; needs the psctrawl, spktal and
# abfsynth targets). LOAD_BENCH_RUNS=N times each load N times (default 3; the best wall time and
# the largest peak memory are shown).
set -euo pipefail
build=${1:-build}
runs=${LOAD_BENCH_RUNS:-3}
psctrawl="$build/apps/psctrawl/psctrawl"
spktal="$build/apps/spktal/spktal"
abfsynth="$build/apps/abfsynth/abfsynth"
for p in "$psctrawl" "$spktal" "$abfsynth"; do
    if [ ! -x "$p" ]; then
        echo "missing $p (build the psctrawl, spktal and abfsynth targets)" >&2
        exit 2
    fi
done

work="${TMPDIR:-/tmp}/load_bench"
recs="$work/recordings"
out="$work/out"
mkdir -p "$recs" "$work/config"
export XDG_CONFIG_HOME="$work/config"

rate_hz=20000
long_seconds=14400
long_samples=$((long_seconds * rate_hz))
small_seconds=10
small_samples=$((small_seconds * rate_hz))
counts=(50 100 200)
most=200

# spktal names its outputs by overwriting the sixth character of an eight-character recording
# name with the output's letter, so the names keep that character free of the number:
# P0001_VC.abf .. P0200_VC.abf and S0001_IC.abf .. S0200_IC.abf.
small_name() { printf '%s%04d_%s.abf' "$1" "$2" "$3"; }  # small_name P|S INDEX VC|IC

psc_long=(--duration "$long_seconds" --interval 50 --seed 7)
spk_long=(--kind spikes --interval 50 --sweeps 1440 --sweep-length 10 --step-length 2
          --first-step 0 --step-increment 0.25 --seed 7)
psc_small=(--duration "$small_seconds" --interval 50)
spk_small=(--kind spikes --interval 50 --sweeps 5 --sweep-length 2 --step-length 0.5
           --first-step 50 --step-increment 50)

# A recording counts as made when its .made file holds the abfsynth options it was made with;
# anything else (absent, cut short by an interrupted run, other options) is made again.
make_recording() {  # make_recording FILE ABFSYNTH_OPTIONS...
    local file=$1
    shift
    local stamp="${file%.abf}.made"
    if [ -f "$file" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$*" ]; then return; fi
    rm -f "$stamp"
    "$abfsynth" --out "$file" --overwrite "$@" >/dev/null
    printf '%s' "$*" >"$stamp"
}

# Room on the disk for what is not made yet (int16 samples plus a header; truth files are small).
needed=0
[ -f "$recs/PSCLONG4.made" ] || needed=$((needed + 2 * long_samples))
[ -f "$recs/SPKLONG4.made" ] || needed=$((needed + 2 * long_samples))
for i in $(seq 1 "$most"); do
    f=$(small_name P "$i" VC)
    [ -f "$recs/${f%.abf}.made" ] || needed=$((needed + 2 * small_samples + 65536))
    f=$(small_name S "$i" IC)
    [ -f "$recs/${f%.abf}.made" ] || needed=$((needed + 2 * small_samples + 65536))
done
free=$(df -P -B1 "$work" | awk 'NR == 2 { print $4 }')
# Outputs of the long runs are a few MB; keep 256 MB to spare.
if [ "$needed" -gt 0 ] && [ $((needed + 268435456)) -gt "$free" ]; then
    echo "not enough room in $work: $((needed / 1048576)) MB of recordings to make, $((free / 1048576)) MB free" >&2
    exit 1
fi

if [ "$needed" -gt 0 ]; then echo "making recordings in $recs ($((needed / 1048576)) MB) ..."; fi
make_recording "$recs/PSCLONG4.abf" "${psc_long[@]}"
make_recording "$recs/SPKLONG4.abf" "${spk_long[@]}"
for i in $(seq 1 "$most"); do
    make_recording "$recs/$(small_name P "$i" VC)" "${psc_small[@]}" --seed "$i"
    make_recording "$recs/$(small_name S "$i" IC)" "${spk_small[@]}" --seed "$i"
done

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# One timed run into an empty output folder: wall seconds and peak resident memory (kB) from
# /usr/bin/time -v when it is there, else from the VmHWM of the process, read while it runs.
measure() {  # measure COMMAND...
    rm -rf "$out"
    mkdir -p "$out"
    local t0 t1 status=0
    if [ -x /usr/bin/time ]; then
        t0=$(now)
        /usr/bin/time -v -o "$work/run.time" "$@" >"$work/run.out" 2>"$work/run.err" || status=$?
        t1=$(now)
        peak_kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/run.time")
    else
        t0=$(now)
        "$@" >"$work/run.out" 2>"$work/run.err" &
        local pid=$! hwm=0 v
        while kill -0 "$pid" 2>/dev/null; do
            v=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
            if [ -n "$v" ] && [ "$v" -gt "$hwm" ]; then hwm=$v; fi
            sleep 0.05
        done
        wait "$pid" || status=$?
        t1=$(now)
        peak_kb=$hwm
    fi
    wall=$(seconds "$t0" "$t1")
    run_status=$status
}

# Best of $runs by wall time; the peak memory is the largest seen. A failed run ends the series:
# best is then "failed", and the reason goes to standard error.
failures=0
best_of() {  # best_of COMMAND...
    best=""
    peak=0
    for _ in $(seq 1 "$runs"); do
        measure "$@"
        if [ "$peak_kb" -gt "$peak" ]; then peak=$peak_kb; fi
        if [ "$run_status" -ne 0 ]; then
            echo "failed (exit status $run_status): $*" >&2
            tail -5 "$work/run.err" >&2
            best=failed
            failed_status=$run_status
            failures=$((failures + 1))
            return
        fi
        if [ -z "$best" ] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$wall; fi
    done
}

rows=()
row() {  # row PROGRAM LOAD RECORDINGS SAMPLES
    if [ "$best" = failed ]; then
        rows+=("$(printf '| %-8s | %-46s | %8s | %7s | %13s | %15s |' "$1" "$2" "failed" "" "" "exit $failed_status")")
        return
    fi
    rows+=("$(awk -v p="$1" -v l="$2" -v r="$3" -v n="$4" -v t="$best" -v m="$peak" 'BEGIN {
        printf "| %-8s | %-46s | %8.2f | %7.1f | %13.3g | %15.3g |", p, l, t, m / 1024, r / t, n / t }')")
}

# Outputs written by the last run, as a check that every recording was analysed.
outputs() { find "$out" -type f -name "$1" | wc -l; }
# The events in an event table: its lines but the two heading lines.
events() { if [ -f "$1" ]; then echo $(($(wc -l <"$1") - 2)); else echo none; fi; }

psc=("$psctrawl" --batch --no-ini --quiet --overwrite --max-events 0 --output-dir "$out")
spk=("$spktal" --batch --no-ini --quiet --output-dir "$out")
trigger="Diff. trigger ([+-]pa/ms)=-3"

declare -A peaks
echo "psctrawl, 4 h ..."
best_of "${psc[@]}" "$recs/PSCLONG4.abf"
row psctrawl "1 recording, 4 h at 20 kHz" 1 "$long_samples"
psc_events=$(events "$out/PSCLONG4.PRN")
psc_truth=$(($(wc -l <"$recs/PSCLONG4.truth.csv") - 1))

# The same with most of the events found: more than the 63999 of the table's first allocation.
echo "psctrawl, 4 h, trigger -3 pA/ms ..."
best_of "${psc[@]}" --set "$trigger" "$recs/PSCLONG4.abf"
row psctrawl "1 recording, 4 h, trigger -3 pA/ms" 1 "$long_samples"
psc_events_low=$(events "$out/PSCLONG4.PRN")

echo "spktal, 4 h ..."
best_of "${spk[@]}" "$recs/SPKLONG4.abf"
row spktal "1 recording, 1440 sweeps x 10 s" 1 "$long_samples"
spk_files=$(outputs '*')

for n in "${counts[@]}"; do
    files=()
    for i in $(seq 1 "$n"); do files+=("$recs/$(small_name P "$i" VC)"); done
    echo "psctrawl, $n recordings ..."
    best_of "${psc[@]}" "${files[@]}"
    # The event table of each recording.
    if [ "$best" != failed ] && [ "$(outputs 'P????_VC.PRN')" -ne "$n" ]; then
        echo "psctrawl wrote $(outputs 'P????_VC.PRN') event tables for $n recordings" >&2
        exit 1
    fi
    row psctrawl "$n recordings of 10 s" "$n" $((n * small_samples))
    peaks[psctrawl,$n]=$peak
done

for n in "${counts[@]}"; do
    files=()
    for i in $(seq 1 "$n"); do files+=("$recs/$(small_name S "$i" IC)"); done
    echo "spktal, $n recordings ..."
    best_of "${spk[@]}" "${files[@]}"
    # The summary (V) file of each recording.
    if [ "$best" != failed ] && [ "$(outputs 'S????VIC.prn')" -ne "$n" ]; then
        echo "spktal wrote $(outputs 'S????VIC.prn') summaries for $n recordings" >&2
        exit 1
    fi
    row spktal "$n recordings of 10 s (5 sweeps)" "$n" $((n * small_samples))
    peaks[spktal,$n]=$peak
done

echo
echo "build: $build; work folder: $work; machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
echo "psctrawl, 4 h: $psc_truth events in the truth; in the event table: $psc_events (defaults), $psc_events_low (trigger -3 pA/ms)"
echo "spktal, 4 h: $spk_files output files"
echo
echo "| program  | load                                           |   wall s | peak MB |  recordings/s |       samples/s |"
echo "|----------|------------------------------------------------|---------:|--------:|--------------:|----------------:|"
for r in "${rows[@]}"; do echo "$r"; done
echo
for p in psctrawl spktal; do
    awk -v p="$p" -v a="${peaks[$p,50]}" -v b="${peaks[$p,100]}" -v c="${peaks[$p,200]}" 'BEGIN {
        printf "%s peak memory for 50 / 100 / 200 recordings: %.1f / %.1f / %.1f MB (200 against 50: %+.1f MB)\n",
               p, a / 1024, b / 1024, c / 1024, (c - a) / 1024 }'
done
echo "(wall: best of $runs runs; peak memory: largest maximum resident set size of those runs)"
if [ "$failures" -gt 0 ]; then
    echo "$failures load(s) failed" >&2
    exit 1
fi
