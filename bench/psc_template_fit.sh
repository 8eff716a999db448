#!/usr/bin/env bash
# How well `psctrawl --batch --template-from-recording` finds the events' kinetics, and what its
# first pass costs.
#
# Accuracy: abfsynth recordings of 120 s at 20 kHz, inward currents of median amplitude 20 pA
# (log SD 0.3) at 10 Hz, white noise of SD 20 pA / SNR, for each pair of true rise / decay time
# constants in KINETICS and each SNR in SNRS (seed 5 for every recording). Every first pass
# starts from the defaults, rise 0.5 ms and decay 5 ms, with the built-in settings (filter
# 500 Hz) and the direction of inward currents. The table lists the fitted constants, their
# errors against the truth and the clear events averaged. The first pass finds its events by
# deconvolution whichever model detector analyses the recording, so the fit is the same for both
# (only --threshold-sd given for the deconvolution changes it); the table is made with
# --detector deconvolution.
#
# Time: 5-minute recordings at 20 kHz analysed with and without the option, the better of three
# runs of each, for each model detector in DETECTORS: one with events (rise 1 ms, decay 10 ms,
# 10 Hz, SNR 5), where the pass stops after its clear events, and one of noise alone, where it
# reads every frame and finds nothing.
#
# Usage: bench/psc_template_fit.sh [BUILD_DIR]   (default: build; needs psctrawl and abfsynth)
set -euo pipefail
build=${1:-build}
psctrawl="$(realpath "$build/apps/psctrawl/psctrawl")"
abfsynth="$(realpath "$build/apps/abfsynth/abfsynth")"
: "${KINETICS:=0.3/3 0.5/5 1/10 2/20}" "${SNRS:=2.5 5}" "${DETECTORS:=deconvolution template}"
work="${TMPDIR:-/tmp}/psc_template_fit"
mkdir -p "$work"
inward=(--set "Diff. trigger ([+-]pa/ms)=-1")

printf "%-13s %5s %4s %10s %10s %8s %8s %7s\n" detector true SNR "fit rise" "fit decay" "d rise" "d decay" events
for kinetics in $KINETICS; do
    rise=${kinetics%/*} decay=${kinetics#*/}
    for snr in $SNRS; do
        noise=$(awk -v s="$snr" 'BEGIN { printf "%.4g", 20 / s }')
        rec="$work/r${rise}_${decay}_${snr}.abf"
        "$abfsynth" --out "$rec" --overwrite --duration 120 --rate 10 --amplitude 20 --rise "$rise" \
            --decay "$decay" --noise "$noise" --seed 5 >/dev/null
        for detector in deconvolution; do
            line=$(cd "$work" && "$psctrawl" --batch --no-ini --quiet --overwrite --output-dir "$work/out" \
                --detector "$detector" --template-from-recording "${inward[@]}" "$rec" 2>&1 >/dev/null |
                grep "Template from" || true)
            echo "$line" | awk -v d="$detector" -v r="$rise" -v t="$decay" -v s="$snr" '
                /rise .* ms, decay .* ms from/ {
                    for (i = 1; i <= NF; ++i) {
                        if ($i == "rise") fr = $(i + 1)
                        if ($i == "decay") fd = $(i + 1)
                        if ($i == "from") n = $(i + 1)
                    }
                    printf "%-13s %5s %4s %10.3f %10.2f %7.1f%% %7.1f%% %7d\n", d, r "/" t, s, fr, fd,
                        100 * (fr - r) / r, 100 * (fd - t) / t, n
                    next
                }
                { printf "%-13s %5s %4s  %s\n", d, r "/" t, s, $0 }'
        done
    done
done

echo
best() {  # the shortest wall time of three runs of psctrawl with the given options, in s
    local fastest=""
    for _ in 1 2 3; do
        local t0 t1
        t0=$(date +%s.%N)
        (cd "$work" && "$psctrawl" --batch --no-ini --quiet --overwrite --output-dir "$work/out" "$@" >/dev/null 2>&1)
        t1=$(date +%s.%N)
        fastest=$(awk -v a="$t0" -v b="$t1" -v f="$fastest" 'BEGIN { t = b - a; if (f != "" && f < t) t = f; print t }')
    done
    echo "$fastest"
}
"$abfsynth" --out "$work/five_minutes.abf" --overwrite --duration 300 --rate 10 --amplitude 20 --rise 1 \
    --decay 10 --noise 4 --seed 5 >/dev/null
"$abfsynth" --out "$work/five_quiet.abf" --overwrite --duration 300 --rate 0 --noise 4 --seed 5 >/dev/null
for rec in five_minutes five_quiet; do
    for detector in $DETECTORS; do
        plain=$(best --detector "$detector" "${inward[@]}" "$work/$rec.abf")
        fitted=$(best --detector "$detector" --template-from-recording "${inward[@]}" "$work/$rec.abf")
        awk -v r="$rec" -v d="$detector" -v a="$plain" -v b="$fitted" 'BEGIN {
            printf "%s.abf, %s: %.2f s without, %.2f s with --template-from-recording (+%.2f s)\n",
                r, d, a, b, b - a }'
    done
done
