#!/usr/bin/env bash
# Installs what is missing, builds psctrawl and runs it on the bundled demo recording
# (examples/demo.abf: 20 s of synthetic inward currents at 20 kHz, ground truth beside it).
# The recording is copied to ./demo-output and analysed there; the outputs land beside the copy
# and the summary of the recording is printed.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target psctrawl
# The Python module (PYTHONPATH=build/python), where its build packages are present.
if cmake --build build --target help | grep '_ephys' >/dev/null; then
    cmake --build build -j "$jobs" --target _ephys
fi

# psctrawl writes its outputs beside each recording, so the demo recording is analysed as a
# copy in ./demo-output (git-ignored) and the repository stays clean.
out=demo-output
mkdir -p "$out"
cp examples/demo.abf examples/demo.truth.csv "$out"/
psctrawl="$(pwd)/build/apps/psctrawl/psctrawl"
# Built-in defaults (not your PSCTRAWL.ini), with a trigger on falling slopes for the inward currents.
(cd "$out" && "$psctrawl" --batch --no-ini --overwrite \
    --set "Diff. trigger ([+-]pa/ms)=-3" demo.abf)

echo
echo "Outputs of the demo recording are in $(pwd)/$out:"
ls -l "$out"
echo "Ground truth of the demo recording: $(pwd)/$out/demo.truth.csv"
