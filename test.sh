#!/usr/bin/env bash
# The one test command: installs what is missing, builds with warnings as errors, runs every
# test, builds and tests the Release configuration that users and packagers build, then builds
# the unit tests again with AddressSanitizer and UndefinedBehaviorSanitizer and runs them once more.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

run_tests() {  # build folder, then ctest arguments
    local dir=$1
    shift
    (cd "$dir" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs" "$@")
}

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEPHYS_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
run_tests build

# Release: -O3 brings warnings of its own, and it is what a user's build is.
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DEPHYS_WERROR=ON -DEPHYS_BENCH=OFF >/dev/null
cmake --build build-release -j "$jobs"
run_tests build-release

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DEPHYS_WERROR=ON -DEPHYS_SANITIZE=ON -DEPHYS_BENCH=OFF \
    -DEPHYS_APPS=OFF >/dev/null
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_tests build-sanitize -L unit

# The fuzz targets, ten seconds each (scripts/fuzz.sh runs them longer), where clang++ can link
# libFuzzer; the stage is skipped with a note elsewhere.
fuzz_probe=$(mktemp)
if command -v clang++ >/dev/null &&
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer -o "$fuzz_probe" - 2>/dev/null; then
    rm -f "$fuzz_probe"
    ./scripts/fuzz.sh 10
else
    rm -f "$fuzz_probe"
    echo "Fuzz targets skipped: no clang++ with libFuzzer (Debian: clang, libclang-rt-14-dev)."
fi
echo "All tests passed."
