#!/usr/bin/env bash
# Builds everything as 32-bit x86, as the real hosts are, into build-32/ (multilib compilers,
# Debian's i386 Qt and GoogleTest, cmake/toolchain-i386.cmake) and runs every test suite there.
# The suites that start the stand-in service use machine-wide names, so the run holds the same
# lock as any other run of them on this machine. Arguments go to ctest (e.g. -R, -LE soak).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh g++-multilib qtbase5-dev:i386 libgtest-dev:i386 libgmock-dev:i386
# Where the kernel does not run 32-bit programs itself, they run under qemu's user-mode emulator.
bash scripts/i386-exec.sh
cmake -S . -B build-32 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-i386.cmake"
cmake --build build-32 -j"$(nproc)"
# Under qemu's emulator a 32-bit Qt program cannot start another program (QProcess fails), so
# there the suites labelled "service", which start the stand-in, are left to the 64-bit run.
only=()
if ! bash scripts/i386-exec.sh --native; then
    echo "build32: 32-bit programs run under qemu here; the suites that start the service are left out"
    only=(-LE service)
fi
flock /tmp/omnivue-tests.lock \
    ctest --test-dir build-32 --output-on-failure -j"$(nproc)" --timeout 300 "${only[@]}" "$@"
