#!/usr/bin/env bash
# Several jobs: `psctrawl --batch` and `spktal --batch` on 8 recordings given in one command, with
# --jobs 1 (one recording after the other) and --jobs 2, and whether the two leave the same
# outputs. Wall time is the best of JOBS_BENCH_RUNS runs (default 3).
#   psctrawl: 8 gap-free voltage-clamp recordings of 5 minutes at 20 kHz (abfsynth --kind psc,
#             5 events/s), slope trigger at -4 pA/ms.
#   spktal:   8 episodic current-clamp recordings of 150 sweeps of 2 s at 20 kHz (5 minutes each).
# Recordings are made once by abfsynth into ${TMPDIR:-/tmp}/jobs_bench and reused by later runs.
# Usage: bench/jobs_bench.sh [BUILD_DIR]   (default: build; needs the psctrawl, spktal and
# abfsynth targets; a Release build for figures worth quoting).
set -euo pipefail
build=${1:-build}
runs=${JOBS_BENCH_RUNS:-3}
psctrawl="$build/apps/psctrawl/psctrawl"
spktal="$build/apps/spktal/spktal"
abfsynth="$build/apps/abfsynth/abfsynth"
for p in "$psctrawl" "$spktal" "$abfsynth"; do
    if [ ! -x "$p" ]; then
        echo "missing $p (build the psctrawl, spktal and abfsynth targets)" >&2
        exit 2
    fi
done

work="${TMPDIR:-/tmp}/jobs_bench"
mkdir -p "$work/recordings" "$work/config"
export XDG_CONFIG_HOME="$work/config"

psc=()
spk=()
for i in 1 2 3 4 5 6 7 8; do
    p="$work/recordings/P000${i}_VC.abf"
    s="$work/recordings/S000${i}_IC.abf"
    [ -s "$p" ] || "$abfsynth" --overwrite --out "$p" --duration 300 --interval 50 --seed "$i" >/dev/null
    [ -s "$s" ] || "$abfsynth" --overwrite --out "$s" --kind spikes --interval 50 --sweeps 150 \
        --sweep-length 2 --step-length 0.5 --first-step 0 --step-increment 2 --seed "$i" >/dev/null
    psc+=("$p")
    spk+=("$s")
done

# best_wall KEEP PROGRAM ARGS...: the best wall time in seconds of `runs` runs, each writing into
# the empty folder $work/out; the last run's outputs, standard output and standard error are kept
# as KEEP, KEEP.stdout and KEEP.stderr.
best_wall() {
    local keep=$1
    shift
    local out="$work/out"
    local best=""
    for _ in $(seq "$runs"); do
        rm -rf "$out"
        mkdir -p "$out"
        local start end
        start=$(date +%s.%N)
        "$@" --output-dir "$out" >"$out.stdout" 2>"$out.stderr" || true
        end=$(date +%s.%N)
        best=$(echo "$start $end ${best:-}" | awk '{ t = $2 - $1; if ($3 != "" && $3 < t) t = $3; printf "%.3f", t }')
    done
    rm -rf "$keep"
    mv "$out" "$keep"
    mv "$out.stdout" "$keep.stdout"
    mv "$out.stderr" "$keep.stderr"
    echo "$best"
}

printf '%-9s %-34s %8s %8s %6s %s\n' program load "jobs 1" "jobs 2" ratio "same outputs"
for program in psctrawl spktal; do
    if [ "$program" = psctrawl ]; then
        cmd=("$psctrawl" --batch --no-ini --quiet --set "Diff. trigger ([+-]pa/ms)=-4")
        files=("${psc[@]}")
        load="8 recordings of 5 min at 20 kHz"
    else
        cmd=("$spktal" --batch --no-ini --quiet --set "Stimulus Epoch for counting=A")
        files=("${spk[@]}")
        load="8 recordings of 150 x 2 s at 20 kHz"
    fi
    one=$(best_wall "$work/$program-1" "${cmd[@]}" --jobs 1 "${files[@]}")
    two=$(best_wall "$work/$program-2" "${cmd[@]}" --jobs 2 "${files[@]}")
    same=no
    if diff -r "$work/$program-1" "$work/$program-2" >/dev/null &&
        cmp -s "$work/$program-1.stdout" "$work/$program-2.stdout" &&
        cmp -s "$work/$program-1.stderr" "$work/$program-2.stderr"; then
        same=yes
    fi
    ratio=$(echo "$one $two" | awk '{ printf "%.2f", $2 / $1 }')
    printf '%-9s %-34s %8s %8s %6s %s\n' "$program" "$load" "$one" "$two" "$ratio" "$same"
done
echo "cores: $(nproc)"
