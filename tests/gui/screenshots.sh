#!/usr/bin/env bash
# Screenshots of the three desktop programs at font sizes 13 and 26, for the documentation and for
# checking that nothing is cut off or overlaps at a large font:
#   tests/gui/screenshots.sh OUTDIR [BUILD_DIR]
# Each program is started by the screenshot_tour tool (built with the GUI tests) under a virtual X
# server (xvfb-run; installed here when missing) with a scratch settings folder whose ini file sets
# the font size. The tool photographs the program's windows (main window, every page of the
# parameter dialog, the preferences dialog; psctrawl also its progress window during a run of the
# demo recording in trace mode, paused after the first frame) and then ends.
set -euo pipefail

out=${1:?usage: screenshots.sh OUTDIR [BUILD_DIR]}
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${2:-$here/build}
mkdir -p "$out"
out=$(cd "$out" && pwd)

if ! command -v xvfb-run >/dev/null 2>&1 || ! command -v xauth >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update >/dev/null
    $sudo apt-get install -y xvfb xauth fonts-dejavu-core >/dev/null
fi

exe="$build/tests/gui/screenshot_tour"
[ -x "$exe" ] || { echo "screenshots: $exe is not built" >&2; exit 1; }

for program in psctrawl spktal swg; do
    upper=$(echo "$program" | tr '[:lower:]' '[:upper:]')
    for size in 13 26; do
        scratch=$(mktemp -d)
        mkdir -p "$scratch/config" "$scratch/home/lab" "$scratch/home/data"
        printf '[General]\nFont=DejaVu Sans\nFont size=%s\nMainWindow=O\nStatusBoxOn=0\n' "$size" \
            >"$scratch/config/$upper.ini"
        recording=()
        [ "$program" = psctrawl ] && recording=("$here/examples/demo.abf")
        echo "screenshots: $program, font size $size"
        HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" \
            timeout 300 xvfb-run -a -s "-screen 0 1600x1200x24" "$exe" "$program" "$out" "${recording[@]}" ||
            echo "screenshots: $program ended with $?" >&2
        rm -rf "$scratch"
    done
done
ls -1 "$out"
