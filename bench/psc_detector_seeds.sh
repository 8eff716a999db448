#!/usr/bin/env bash
# The two overlapping-event cases of bench/psc_detector_accuracy.sh over several seeds, so that one
# recording's draw of close pairs does not decide the figure: white noise SNR 2.5 with events at
# 10 Hz and SNR 5 at 20 Hz (120 s at 20 kHz, 20 pA median amplitude, log SD 0.3, rise 0.5 ms,
# decay 5 ms). Prints, per case and detector, the recall and precision pooled over the seeds
# (matched events over true and over found events) and each seed's recall.
#
# Usage: bench/psc_detector_seeds.sh [BUILD_DIR]   (default: build; needs psctrawl and abfsynth)
#        SEEDS="1 2 3" DETECTORS="slope deconvolution" bench/psc_detector_seeds.sh
set -euo pipefail
build=${1:-build}
here="$(cd "$(dirname "$0")" && pwd)"
psctrawl="$(realpath "$build/apps/psctrawl/psctrawl")"
abfsynth="$(realpath "$build/apps/abfsynth/abfsynth")"
: "${SEEDS:=1 2 3 4 5 6 7 8 9 10}" "${DETECTORS:=slope deconvolution}" "${TOL_MS:=3}"
work="${TMPDIR:-/tmp}/psc_detector_seeds"
mkdir -p "$work"

# case name, noise SD (pA), event rate (Hz)
for case in "snr2.5_10hz 8 10" "snr5_20hz 4 20"; do
    read -r name sd rate <<<"$case"
    trigger=$(awk -v n="$sd" 'BEGIN { t = 0.3 * n; if (t < 1) t = 1; printf "%.3g", -t }')
    for seed in $SEEDS; do
        rec="$work/${name}_seed$seed.abf"
        [ -f "$rec" ] || "$abfsynth" --out "$rec" --overwrite --duration 120 --rate "$rate" --amplitude 20 \
            --rise 0.5 --decay 5 --noise "$sd" --seed "$seed" >/dev/null
    done
    for d in $DETECTORS; do
        out="$work/out_$d"
        mkdir -p "$out"
        for seed in $SEEDS; do
            base="${name}_seed$seed"
            "$psctrawl" --batch --no-ini --quiet --overwrite --output-dir "$out" --detector "$d" \
                --set "Diff. trigger ([+-]pa/ms)=$trigger" "$work/$base.abf" >/dev/null
            python3 "$here/psc_match.py" "$work/$base.truth.csv" \
                "$out/$(echo "$base" | tr '[:lower:]' '[:upper:]').PRN" "$TOL_MS"
        done | awk -v c="$name" -v d="$d" '
            { t += $1; f += $2; m += $3; each = each " " $4 }
            END { printf "%-12s %-14s pooled recall %.4f precision %.4f | each seed:%s\n", c, d, m / t, m / f, each }'
    done
done
