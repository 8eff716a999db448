#!/usr/bin/env bash
# The one test command: installs what is missing, builds with warnings as errors, runs every
# test, then builds the unit tests again with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs them once more.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs")

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DEPHYS_SANITIZE=ON -DEPHYS_BENCH=OFF -DEPHYS_APPS=OFF >/dev/null
cmake --build build-sanitize -j "$jobs"
(cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs" -L unit)
echo "All tests passed."
