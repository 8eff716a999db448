#!/usr/bin/env bash
# Builds the libFuzzer targets (clang) in build-fuzz and runs each for SECONDS (default 300).
# The corpora grow in build-fuzz/corpus/<target>, starting from the seeds that fuzz_seeds writes
# with the project's own ABF writer. A crash leaves its input as build-fuzz/crash-<target>-*;
# replay it with build-fuzz/tests/fuzz/fuzz_<target> FILE. Exit status 1 when a target failed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
build=build-fuzz
targets=(abf_reader profile_file param_load number_list param_setting)

if ! command -v clang++ >/dev/null; then
    echo "fuzz.sh: clang++ not found (Debian: apt-get install clang)" >&2
    exit 2
fi
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S . -B "$build" -DEPHYS_FUZZ=ON -DEPHYS_APPS=OFF -DEPHYS_BENCH=OFF \
    -DEPHYS_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target fuzz_seeds "${targets[@]/#/fuzz_}"

rm -rf "$build/seeds"
"$build/tests/fuzz/fuzz_seeds" "$build/seeds"
status=0
for t in "${targets[@]}"; do
    mkdir -p "$build/corpus/$t"
    log="$build/fuzz-$t.log"
    if "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$build/crash-$t-" -print_final_stats=1 \
        "$build/corpus/$t" "$build/seeds/$t" >"$log" 2>&1; then
        result="ok"
    else
        result="FAILED (see $log)"
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "fuzz_$t: ${runs:-?} runs, $result"
done
exit $status
