#!/usr/bin/env bash
# Builds everything and runs every test suite with CTest, then the reliability checks: the
# suites under sanitizers (scripts/sanitize.sh) and the fuzz targets (scripts/fuzz.sh).
# CROP_ASSIST_RELIABILITY=0 skips those; FUZZ_SECONDS sets the fuzzing time per target.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300
echo "test: main suite took $((SECONDS - start)) s"

# The real hosts are 32-bit Windows processes: the whole suite again as 32-bit, and the Windows
# side compiled with the cross compiler.
part=$SECONDS
bash scripts/build32.sh
echo "test: 32-bit build and suite took $((SECONDS - part)) s"
part=$SECONDS
bash scripts/mingw.sh
echo "test: Windows cross-compile checks took $((SECONDS - part)) s"

if [ "${CROP_ASSIST_RELIABILITY:-1}" != 0 ]; then
    part=$SECONDS
    bash scripts/sanitize.sh
    echo "test: sanitizer runs took $((SECONDS - part)) s"
    part=$SECONDS
    bash scripts/fuzz.sh
    echo "test: fuzzing took $((SECONDS - part)) s"
fi
echo "test: everything took $((SECONDS - start)) s"
