#!/usr/bin/env bash
# Builds the API reference from the public headers' comments with Doxygen, into
# build/docs/api/html/ (open index.html), and compiles the README's C example (docs/example.c)
# against the library. Fails on any Doxygen warning, so that a function, parameter or return
# value without documentation fails the build, and when the README's copy of the example differs
# from docs/example.c. Safe to rerun.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh doxygen
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j"$(nproc)" --target docs
# The README quotes the example whole, less its opening comment; the two must not drift apart.
if ! diff -u <(sed '1,/\*\/$/d' docs/example.c) \
    <(sed -n '/^```c$/,/^```$/p' README.md | sed '1d;$d'); then
    echo "docs: the C example in README.md differs from docs/example.c (- example, + README)"
    exit 1
fi
echo "docs: $PWD/build/docs/api/html/index.html"
