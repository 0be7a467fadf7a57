#!/usr/bin/env bash
# Builds the library, the stand-in service and crop_assist_bench (Release) into build-bench/,
# runs the benchmark and prints its table: each figure, its baseline, the ratio and the goal.
# Extra arguments go to the benchmark (e.g. --benchmark_filter=query).
#
#   bash scripts/bench.sh --callgrind PATH [CALLS]
# counts the instructions per call of one call path instead (valgrind's callgrind; PATH is one of
# is_enabled get_mode get_devices frame_640x480 frame_1920x1080 baseline_a baseline_b notice
# standin_frame_640x480 standin_frame_1920x1080).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=table
if [ "${1:-}" = "--callgrind" ]; then
    mode=callgrind
    path="${2:?usage: bench.sh --callgrind PATH [CALLS]}"
    calls="${3:-2000}"
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
lock=/tmp/omnivue-tests.lock
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
