#!/usr/bin/env bash
# Installs what is missing, builds psctrawl and runs it on the bundled demo recording
# (examples/demo.abf: 20 s of synthetic inward currents at 20 kHz, ground truth beside it).
# The outputs go to ./demo-output; the summary of the recording is printed.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target psctrawl

out=demo-output
# Built-in defaults (not your PSCTRAWL.ini), with a trigger on falling slopes for the inward currents.
build/apps/psctrawl/psctrawl --batch --no-ini --overwrite --output-dir "$out" \
    --set "Diff. trigger ([+-]pa/ms)=-3" examples/demo.abf

echo
echo "Outputs of examples/demo.abf are in $(pwd)/$out:"
ls -l "$out"
echo "Ground truth of the demo recording: $(pwd)/examples/demo.truth.csv"
