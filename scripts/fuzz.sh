#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# (build-fuzz/), replays each target's seed corpus (fuzz/corpus/<target>/) and then fuzzes each
# target for a bounded time. Fails on any crash, sanitizer report or broken property.
#
#   bash scripts/fuzz.sh                              # every target, 30 s each
#   FUZZ_SECONDS=300 bash scripts/fuzz.sh rois        # one target, longer
#
# Inputs found on the way go to build-fuzz/corpus/<target>/ (the seeds in the repository stay
# as they are); a failing input is kept as build-fuzz/findings/<target>/crash-* (or leak-*,
# timeout-*). Safe to rerun: the corpus grows from run to run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh clang libclang-rt-14-dev
seconds=${FUZZ_SECONDS:-30}
build=$root/build-fuzz

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(reply_reader rois device_info callback_lines record request_writer recording)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCROP_ASSIST_FUZZ=ON -DCROP_ASSIST_SANITIZE=address,undefined -DCROP_ASSIST_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1
export LSAN_OPTIONS=suppressions=$root/fuzz/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# A target that crashed leaves what it had made behind: the socket file of its local server
# (named after its process), and for the record target the key files of its segment and
# semaphores with the System V objects keyed from them. Run after each target has ended.
remove_leftovers() {
    local file pid dev ino key
    for file in /tmp/crop_assist_fuzz_*; do
        pid=${file##*_}
        if [ -e "$file" ] && ! kill -0 "$pid" 2>/dev/null; then
            rm -f "$file"
        fi
    done
    for file in /tmp/qipc_sharedmemory_CropAssistFuzz* /tmp/qipc_systemsem_CropAssistFuzz*; do
        [ -e "$file" ] || continue
        read -r dev ino < <(stat -c '%d %i' "$file")
        # ftok(file, 'Q'), as Qt derives the key; a segment is removed only once nobody holds it.
        key=$(printf '0x%08x' $(((0x51 << 24) | ((dev & 0xff) << 16) | (ino & 0xffff))))
        if [ "$(ipcs -m | awk -v key="$key" '$1 == key { print $6 }')" = 0 ]; then
            ipcrm -M "$key" 2>/dev/null || true
        fi
        [[ $file != *systemsem* ]] || ipcrm -S "$key" 2>/dev/null || true
        rm -f "$file"
    done
    return 0
}

status=0
summary=()
for target in "${targets[@]}"; do
    start=$SECONDS
    binary=$build/out/fuzz_$target
    seeds=$root/fuzz/corpus/$target
    corpus=$build/corpus/$target
    findings=$build/findings/$target
    log=$build/fuzz_$target.log
    mkdir -p "$corpus" "$findings"
    rm -f "$log" "$log.replay"  # figures of an earlier run must not pass for this one's
    result=ok
    # Replay: every seed once; then fuzz from the seeds and what earlier runs found.
    if ! "$binary" -runs=0 -artifact_prefix="$findings/" "$seeds" >"$log.replay" 2>&1; then
        tail -n 60 "$log.replay"
        result="FAILED on replay (see $log.replay)"
    elif ! "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" "$seeds" >"$log" 2>&1; then
        tail -n 60 "$log"
        result="FAILED (see $log and $findings/)"
    fi
    remove_leftovers
    [ "$result" = ok ] || status=1
    # A target that failed early leaves no log or no figures; the summary says so and goes on.
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" 2>/dev/null | tail -n 1 || true)
    coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" 2>/dev/null | tail -n 1 || true)
    summary+=("fuzz: $target: ${runs:-0} runs, ${coverage:-no coverage figures}, $((SECONDS - start)) s: $result")
done
printf '%s\n' "${summary[@]}"
exit $status
