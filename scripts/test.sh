#!/usr/bin/env bash
# Builds everything and runs every test suite with CTest, then the same suite as a 32-bit build,
# the Windows cross-compile checks and the Windows build with its suites under Wine
# (scripts/windows.sh; the real hosts are 32-bit Windows processes), then the
# sanitizer runs (scripts/sanitize.sh) and the fuzz targets (scripts/fuzz.sh; FUZZ_SECONDS sets
# the time per target). CROP_ASSIST_TARGET32=0 skips the 32-bit and cross-compile steps,
# CROP_ASSIST_WINDOWS=0 the Windows build, CROP_ASSIST_RELIABILITY=0 the sanitizers and fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
# Tests stay at about a third of the product code.
bash scripts/test-ratio.sh
bash scripts/deps.sh
# The benchmark is built too, so that it keeps compiling; scripts/bench.sh runs it.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCROP_ASSIST_BUILD_BENCH=ON
cmake --build build -j"$(nproc)"
# The library must load with a host's Qt 5.11: what it takes from Qt is reviewed.
bash scripts/qt-imports.sh
# Suites that start the service use machine-wide names; never overlap with another run.
flock /tmp/omnivue-tests.lock ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300
echo "test: main suite took $((SECONDS - start)) s"

# Runs one step and says how long it took.
step() {
    local what=$1 part=$SECONDS
    shift
    "$@"
    echo "test: $what took $((SECONDS - part)) s"
}

step "docs" bash scripts/docs.sh

if [ "${CROP_ASSIST_TARGET32:-1}" != 0 ]; then
    step "32-bit build and suite" bash scripts/build32.sh
    step "Windows cross-compile checks" bash scripts/mingw.sh
fi
# About 7 minutes with Qt for Windows cached; a machine without that cache builds it first, once
# (docs/testing.md has the measured times).
if [ "${CROP_ASSIST_WINDOWS:-1}" != 0 ]; then
    step "Windows build, SDK archive and Wine runs" bash scripts/windows.sh
fi

if [ "${CROP_ASSIST_RELIABILITY:-1}" != 0 ]; then
    step "sanitizer runs" bash scripts/sanitize.sh
    step "fuzzing" bash scripts/fuzz.sh
fi
echo "test: everything took $((SECONDS - start)) s"
