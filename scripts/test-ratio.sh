#!/usr/bin/env bash
# Prints the source lines of the tests (tests/ and fuzz/) and of the product code (api, runtime,
# calls, client, recording, platform, service, tools), and their ratio; fails when the tests pass 0.34 of the
# product, so that they stay at about a quarter to a third of it. bench/ counts on neither side.
set -euo pipefail
cd "$(dirname "$0")/.."
lines() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' \) \
        -exec cat {} + | wc -l
}
tests=$(lines tests fuzz)
product=$(lines api calls runtime client recording platform service tools)
ratio=$(awk -v t="$tests" -v p="$product" 'BEGIN { printf "%.3f", t / p }')
echo "test-ratio: tests ${tests} lines, product ${product} lines, ratio ${ratio} (at most 0.34)"
awk -v r="$ratio" 'BEGIN { exit !(r <= 0.34) }' || {
    echo "test-ratio: the tests have grown past 0.34 of the product code" >&2
    exit 1
}
