#!/usr/bin/env bash
# Builds the library, the stand-in service and crop_assist_bench (Release) into build-bench/,
# runs the benchmark and prints its table: each figure, its baseline, the ratio and the goal.
# Extra arguments go to the benchmark (e.g. --benchmark_filter=query).
#
#   bash scripts/bench.sh --windows [ARGS]
# builds the same benchmark for 32-bit Windows instead, as the SDK is built (the static Qt of
# scripts/qt-mingw.sh i686 static, Google Benchmark from scripts/benchmark-mingw.sh), into
# build-bench-windows/, and runs it under 32-bit Wine in a Wine prefix of its own inside that
# folder; then the unload figures (crop_assist_unload_bench). Where this kernel runs no 32-bit
# programs, Wine cannot run them here, and it says so and stops.
#
#   bash scripts/bench.sh --callgrind PATH [CALLS]
# counts the instructions per call of one call path instead (valgrind's callgrind; PATH is one of
# is_enabled get_mode get_devices frame_640x480 frame_1920x1080 baseline_a baseline_b notice
# standin_frame_640x480 standin_frame_1920x1080).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=table
if [ "${1:-}" = "--windows" ]; then
    shift
    mode=windows
elif [ "${1:-}" = "--callgrind" ]; then
    mode=callgrind
    path="${2:?usage: bench.sh --callgrind PATH [CALLS]}"
    calls="${3:-2000}"
fi

lock=/tmp/omnivue-tests.lock
if [ "$mode" = windows ]; then
    if ! bash scripts/i386-exec.sh --native; then
        echo "bench: this kernel runs no 32-bit programs, so 32-bit Wine cannot run the Windows build here"
        exit 1
    fi
    bash scripts/deps.sh g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386 llvm
    root=$PWD
    out=build-bench-windows
    qt=$(bash scripts/qt-mingw.sh i686 static)
    gbench=$(bash scripts/benchmark-mingw.sh i686)
    mkdir -p "$out"
    cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" -DCROP_ASSIST_WINDOWS_ARCH=i686 \
        -DCROP_ASSIST_QT_PREFIX="$qt" -Dbenchmark_DIR="$gbench/lib/cmake/benchmark" \
        -DCROP_ASSIST_BUILD_BENCH=ON -DCROP_ASSIST_BUILD_TESTS=OFF > "$out/configure.log" ||
        { cat "$out/configure.log"; exit 1; }
    nice cmake --build "$out" -j"$(nproc)" \
        --target crop_assist_bench crop_assist_unload_bench omnivue_service

    # A Wine prefix of this build's own, made once; no display is needed.
    # No debugger is started for a program that crashes: the run ends, and so does the service
    # it started, with Wine's server at the end.
    export WINEPREFIX=$root/$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
    export DISPLAY=
    [ -f "$WINEPREFIX/system.reg" ] || wine wineboot --init > "$out/wineboot.log" 2>&1
    # A Wine server for the run, and a process that keeps the default desktop up through it: Wine
    # closes the desktop a moment after its last process ends, and a benchmark that starts and
    # ends services could find it gone when its API thread makes its message window. Both end
    # with the run.
    wineserver -k 2> /dev/null || true  # one left by an earlier run in this prefix
    wineserver -p
    trap 'wineserver -k 2> /dev/null || true' EXIT
    wine wineboot > /dev/null 2>&1 < /dev/null
    cat > "$out/desktop-keeper.c" <<'KEEPER'
#include <windows.h>
int main(void) {
    CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    Sleep(INFINITE);
    return 0;
}
KEEPER
    i686-w64-mingw32-gcc-posix -o "$out/desktop-keeper.exe" "$out/desktop-keeper.c"
    wine "$out/desktop-keeper.exe" > /dev/null 2>&1 < /dev/null &
    # Wine runs a program in the process it is started in: the idle figures read that process's
    # threads in /proc, under the process id handed over here.
    flock "$lock" sh -c 'export CROP_ASSIST_BENCH_UNIX_PID=$$; exec wine "$@"' sh \
        "$out/out/crop_assist_bench.exe" --benchmark_color=false "$@"
    flock "$lock" wine "$out/out/crop_assist_unload_bench.exe" --benchmark_color=false
    exit
fi

if [ "$mode" = callgrind ]; then
    bash scripts/deps.sh valgrind
else
    bash scripts/deps.sh
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCROP_ASSIST_BUILD_BENCH=ON \
    -DCROP_ASSIST_BUILD_TESTS=OFF > /dev/null
cmake --build build-bench -j"$(nproc)" --target crop_assist_bench omnivue_service

# The service's names are machine-wide; wait for a test run that uses them to finish first.
if [ "$mode" = table ]; then
    exec flock "$lock" build-bench/out/crop_assist_bench --benchmark_color=false "$@"
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
flock "$lock" valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
    build-bench/out/crop_assist_bench --profile="$path" --calls="$calls" 2> "$out/valgrind.log" ||
    { cat "$out/valgrind.log" >&2; exit 1; }
# The dump made right after the measured calls holds only them (all threads of the host).
dump=$(grep -l "^desc: Trigger: Client Request: $path" "$out"/callgrind.out* | head -n 1)
total=$(awk '/^(summary|totals):/ { print $2; exit }' "$dump")
echo "$path: $total instructions in $calls calls, $((total / calls)) per call"
