#!/usr/bin/env bash
# Sanitizer runs: the whole test suite under AddressSanitizer + UndefinedBehaviorSanitizer
# (build-asan/), and the threading tests under ThreadSanitizer (build-tsan/). Fails on a failing
# test and on any sanitizer report, including those of child processes such as the service the
# library starts: every report is written to a file and the files are checked afterwards.
#
#   bash scripts/sanitize.sh          # both
#   bash scripts/sanitize.sh asan     # AddressSanitizer + UndefinedBehaviorSanitizer only
#   bash scripts/sanitize.sh tsan     # ThreadSanitizer only
#
# Safe to rerun: the build directories are reused and old reports are removed first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh
jobs=$(nproc)
# Tests that start the service use machine-wide names; never overlap with another run.
lock=/tmp/omnivue-tests.lock

# Left out of the main AddressSanitizer run: the packaging test builds an outside host that does
# not load the sanitizer runtime first, and the soak tests, which run afterwards alone and
# shorter (their memory bounds are not checked under the sanitizer, whose leak check at exit
# takes their place, and hundreds of instrumented start-ups would take minutes).
asan_excluded='^(Soak\.|Load\.Soak|packaging_install_and_host$)'
asan_soak=(OMNIVUE_SOAK_CYCLES=20 OMNIVUE_SOAK_CALLS=5000)

# The suites that exercise the library's threads: start-up and shutdown with the API thread and
# its call marshalling, the callback listener and the notices end to end, and many host threads
# calling while callbacks call back in, and sessions recorded (the recorder's writer thread).
tsan_suites='^(Lifecycle|Startup|Callbacks|Devices|Load\.Concurrency|Replay\.)'
tsan_targets=(api_lifecycle_test client_startup_test api_callbacks_test api_devices_test
    faults_load_test omnivue_service api_unload_host tools_replay_test cropassist)

fresh_reports() {
    rm -rf "$1"
    mkdir -p "$1"
}

# Prints every report file under $1 and fails if there is any.
check_reports() {
    local found=("$1"/*)
    if [ -e "${found[0]}" ]; then
        for report in "${found[@]}"; do
            echo "==== $report"
            cat "$report"
        done
        echo "sanitize: ${#found[@]} sanitizer report file(s) in $1" >&2
        return 1
    fi
}

run_asan() {
    local build=build-asan reports=$root/build-asan/reports
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCROP_ASSIST_SANITIZE=address,undefined
    cmake --build "$build" -j"$jobs"
    fresh_reports "$reports"
    local status=0
    ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1" \
    UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1" \
        flock "$lock" ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600 \
        -E "$asan_excluded" || status=$?
    ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1" \
    UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1" \
        env "${asan_soak[@]}" flock "$lock" ctest --test-dir "$build" --output-on-failure \
        --timeout 600 -R '^(Soak\.|Load\.Soak)' || status=$?
    check_reports "$reports" || status=1
    return $status
}

run_tsan() {
    local build=build-tsan reports=$root/build-tsan/reports
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCROP_ASSIST_SANITIZE=thread
    cmake --build "$build" -j"$jobs" --target "${tsan_targets[@]}"
    fresh_reports "$reports"
    local status=0
    TSAN_OPTIONS="log_path=$reports/tsan:suppressions=$root/tests/tsan.supp:second_deadlock_stack=1:halt_on_error=0" \
        flock "$lock" ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600 \
        -R "$tsan_suites" || status=$?
    check_reports "$reports" || status=1
    return $status
}

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(asan tsan)
status=0
for part in "${parts[@]}"; do
    start=$SECONDS
    case "$part" in
        asan) run_asan || status=1 ;;
        tsan) run_tsan || status=1 ;;
        *)
            echo "usage: $0 [asan] [tsan]" >&2
            exit 2
            ;;
    esac
    echo "sanitize: $part took $((SECONDS - start)) s"
done
exit $status
