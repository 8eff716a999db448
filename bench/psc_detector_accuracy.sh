#!/usr/bin/env bash
# Detection accuracy of the three detectors of `psctrawl --batch` side by side, against abfsynth's
# ground truth: the slope trigger (--detector slope), the deconvolution by the event template
# (--detector deconvolution) and the sliding scaled-template fit (--detector template).
#
# Recordings: 120 s gap-free at 20 kHz, inward currents of median amplitude 20 pA (log SD 0.3),
# rise 0.5 ms, decay 5 ms (the template's defaults), seed 7. SNR = 20 pA / noise SD.
#   events:  iso  2 Hz, no two onsets closer than 50 ms
#            10Hz 10 Hz Poisson (about 5 % of the events start within 5 ms of another)
#            20Hz 20 Hz Poisson (about 10 %)
#   noise:   white  white noise of SD 20 / SNR
#            pink   1/f noise of SD 20 / SNR (0.3 Hz .. 10 kHz), 3 pA of 50 Hz hum and a drift of
#                   10 pA at 0.05 Hz, no white noise
#
# Settings: built-in defaults (--no-ini; "Filtering (Hz)" 500), with "Diff. trigger ([+-]pa/ms)"
# = -0.3 x noise SD (at least 1 pA/ms in size) for the slope trigger, as bench/psc_accuracy.sh
# chose it; the model detectors take the direction from its sign, their default threshold, and
# take the mains hum out where they find it (--hum-hz auto, their default).
#
# Matching (bench/psc_match.py): each true onset is paired with the nearest unused event whose
# "times (sec)" lies within TOL_MS (3 ms); R = recall, P = precision, F1, dA = median
# |found - true| amplitude of the pairs (pA).
#
# Usage: bench/psc_detector_accuracy.sh [BUILD_DIR]   (default: build; needs psctrawl, abfsynth)
set -euo pipefail
build=${1:-build}
here="$(cd "$(dirname "$0")" && pwd)"
psctrawl="$(realpath "$build/apps/psctrawl/psctrawl")"
abfsynth="$(realpath "$build/apps/abfsynth/abfsynth")"
: "${TOL_MS:=3}" "${SNRS:=1.5 2 2.5 3 4 5}" "${DETECTORS:=slope deconvolution template}"
work="${TMPDIR:-/tmp}/psc_detector_accuracy"
mkdir -p "$work"

printf "%-5s %4s %-4s %5s" noise SNR kind true
for d in $DETECTORS; do printf " | %-26s" "$d: R P F1 dA"; done
printf "\n"
for noise in white pink; do
    for snr in $SNRS; do
        for kind in iso 10Hz 20Hz; do
            sd=$(awk -v s="$snr" 'BEGIN { printf "%.4g", 20 / s }')
            case $kind in
            iso) events=(--rate 2 --min-gap 50) ;;
            10Hz) events=(--rate 10) ;;
            20Hz) events=(--rate 20) ;;
            esac
            if [ "$noise" = white ]; then
                noises=(--noise "$sd")
            else
                noises=(--noise 0 --pink-noise "$sd" --hum 3 --hum-hz 50 --drift 10 --drift-hz 0.05)
            fi
            name="${noise}_${snr}_${kind}"
            rec="$work/$name.abf"
            if [ ! -f "$rec" ]; then
                "$abfsynth" --out "$rec" --overwrite --duration 120 "${events[@]}" --amplitude 20 --rise 0.5 \
                    --decay 5 "${noises[@]}" --seed 7 >/dev/null
            fi
            trigger=$(awk -v n="$sd" 'BEGIN { t = 0.3 * n; if (t < 1) t = 1; printf "%.3g", -t }')
            line=""
            true_count=""
            for d in $DETECTORS; do
                out="$work/out_$d"
                mkdir -p "$out"
                "$psctrawl" --batch --no-ini --quiet --overwrite --output-dir "$out" --detector "$d" \
                    --set "Diff. trigger ([+-]pa/ms)=$trigger" "$rec" >/dev/null
                table="$out/$(echo "$name" | tr '[:lower:]' '[:upper:]').PRN"
                read -r t _found _matched r p f1 da < <(python3 "$here/psc_match.py" "$work/$name.truth.csv" \
                    "$table" "$TOL_MS")
                true_count=$t
                line+=$(printf " | %5s %5s %5s %7s  " "$r" "$p" "$f1" "$da")
            done
            printf "%-5s %4s %-4s %5s%s\n" "$noise" "$snr" "$kind" "$true_count" "$line"
        done
    done
done
