#!/usr/bin/env bash
# psctrawl on a Slurm cluster: one array task per recording. Task k analyses the k-th recording of
# a list file (one path a line; blank lines and lines starting with '#' do not count), with the
# psctrawl options that follow the list: the outputs go beside the recording, or into
# --output-dir DIR.
#
#   sbatch --array=1-$(grep -cv '^\s*\(#\|$\)' recordings.txt) scripts/slurm-psctrawl.sh \
#       recordings.txt --params lab.prm --output-dir results
#
# Outside Slurm the script runs the task SLURM_ARRAY_TASK_ID names, so one task can be tried by
# hand: SLURM_ARRAY_TASK_ID=3 scripts/slurm-psctrawl.sh recordings.txt --output-dir results
# PSCTRAWL names the program when it is not on the PATH. The exit status is psctrawl's (0 done,
# 1 the recording failed, 2 bad usage); 2 also for a task without a recording in the list.
#
# One recording needs one core and under 50 MB; an hour at 20 kHz takes a few seconds.
#SBATCH --job-name=psctrawl
#SBATCH --cpus-per-task=1
#SBATCH --mem=256M
#SBATCH --time=00:30:00
#SBATCH --output=psctrawl-%A_%a.log
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: slurm-psctrawl.sh LIST [PSCTRAWL OPTIONS...]" >&2
    exit 2
fi
list=$1
shift
task=${SLURM_ARRAY_TASK_ID:-}
if ! [[ $task =~ ^[0-9]+$ ]] || [ "$task" -lt 1 ]; then
    echo "slurm-psctrawl: SLURM_ARRAY_TASK_ID is '$task'; submit with sbatch --array=1-N" >&2
    exit 2
fi
if [ ! -r "$list" ]; then
    echo "slurm-psctrawl: cannot read the list $list" >&2
    exit 2
fi

# The task's line, whole (names may hold blanks), without a Windows line end.
recording=$(awk -v k="$task" '/^[[:space:]]*(#|$)/ { next } { if (++n == k) { sub(/\r$/, ""); print; exit } }' "$list")
if [ -z "$recording" ]; then
    echo "slurm-psctrawl: $list has no recording $task" >&2
    exit 2
fi

exec "${PSCTRAWL:-psctrawl}" --batch --quiet "$@" -- "$recording"
