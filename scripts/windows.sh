#!/usr/bin/env bash
# The Windows product and its suites under Wine.
#
# 1. Builds crop_assist.dll, OmnivueService.exe, cropassist.exe and the demo for 32-bit Windows
#    (build-windows/), against Qt cross-built by scripts/qt-mingw.sh, and packs the SDK archive a
#    Windows host developer receives (cpack -G ZIP).
# 2. Picks what Wine runs: the 32-bit build itself where the kernel runs 32-bit programs (Wine's
#    32-bit side is one); elsewhere the same sources built for x86-64 (build-windows64/), which
#    wine64 runs natively. 32-bit Wine under qemu's emulator does not get through its own
#    start-up, so there the 32-bit build is built and packed but not run.
#    That build has the test suites, which CTest runs under Wine.
# 3. Builds the C host tests/windows/loadlibrary_host.c against that build's unpacked archive and
#    runs it: LoadLibrary, the 26 exports by name, calls through cdecl pointers, exit time, a
#    host that dies with a session open, FreeLibrary before a session and after exit, and each
#    way of unloading with a session open (its comment lists them).
# 4. Runs the demo, which writes its picture.
#
# Safe to rerun: the Qt cache, the builds and the Wine prefix are reused.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine64

# Configures and builds one architecture into one folder, then packs it.
build() {
    local arch=$1 out=$2 tests=$3 qt
    qt=$(bash scripts/qt-mingw.sh "$arch")
    cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" \
        -DCROP_ASSIST_WINDOWS_ARCH="$arch" -DCROP_ASSIST_QT_PREFIX="$qt" \
        -DCROP_ASSIST_BUILD_TESTS="$tests" > "$out/configure.log" ||
        { cat "$out/configure.log"; exit 1; }
    nice cmake --build "$out" -j"$(nproc)"
    (cd "$out" && cpack -G ZIP > cpack.log) || { cat "$out/cpack.log"; exit 1; }
}

mkdir -p build-windows
if bash scripts/i386-exec.sh --native; then
    bash scripts/deps.sh wine32:i386  # Wine's 32-bit side
    build i686 build-windows ON
    run=build-windows
    bits=32
    cc=i686-w64-mingw32-gcc-posix
    wine=$(command -v wine)
    wineserver=$(command -v wineserver)
else
    build i686 build-windows OFF
    echo "windows: this kernel runs no 32-bit programs; Wine runs the x86-64 build"
    bash scripts/deps.sh g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mkdir -p build-windows64
    build x86_64 build-windows64 ON
    run=build-windows64
    bits=64
    cc=x86_64-w64-mingw32-gcc-posix
    wine=/usr/lib/wine/wine64
    wineserver=/usr/lib/wine/wineserver64
fi

# A fresh Wine prefix inside the build folder, made once; no display is needed.
export WINEPREFIX=$root/$run/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    part=$SECONDS
    "$wine" wineboot --init > "$run/wineboot.log" 2>&1
    echo "windows: Wine prefix made in $((SECONDS - part)) s"
fi
# A Wine server and the prefix's own services that live through the run, started here with output
# of their own: started by the first suite, they would hold CTest's pipes and CTest would wait
# for them. They end with the run.
"$wineserver" -k 2> /dev/null || true  # a server left by an earlier run
"$wineserver" -p
trap '"$wineserver" -k 2> /dev/null || true' EXIT
"$wine" wineboot > /dev/null 2>&1 < /dev/null

# The suites, under Wine (the toolchain file makes it CTest's emulator).
part=$SECONDS
flock /tmp/omnivue-tests.lock ctest --test-dir "$run" -j2 --output-on-failure --timeout 600
echo "windows: suites passed in $((SECONDS - part)) s"

# The SDK as a host developer unpacks it, and a C host built against nothing else.
sdk=$run/sdk
rm -rf "$sdk"
mkdir -p "$sdk"
(cd "$sdk" && cmake -E tar xf ../crop_assist-*-win$bits.zip)
sdk=$(cd "$sdk"/crop_assist-* && pwd)
for f in bin/crop_assist.dll bin/OmnivueService.exe bin/cropassist.exe bin/Qt5Core.dll \
    bin/Qt5Network.dll include/crop_assist.h lib/libcrop_assist.dll.a lib/crop_assist.def \
    lib/cmake/CropAssist/CropAssistConfig.cmake; do
    [ -e "$sdk/$f" ] || { echo "windows: the SDK archive has no $f"; exit 1; }
done
"$cc" -std=c99 -Wall -Wextra -Werror -I"$sdk/include" -o "$sdk/bin/loadlibrary_host.exe" \
    tests/windows/loadlibrary_host.c
# The names the header declares, in the form the DLL must export them.
names=$(tr '\n' ' ' < api/crop_assist.h |
    grep -oE 'CROP_ASSIST_CALL[[:space:]]+crop_assist_[a-z_]+[[:space:]]*\(' |
    sed -E 's/^CROP_ASSIST_CALL[[:space:]]+//; s/[[:space:]]*\($//')
# The service's names are machine-wide: never overlap with a suite that uses them.
(cd "$sdk/bin" && flock /tmp/omnivue-tests.lock "$wine" loadlibrary_host.exe crop_assist.dll $names)

# The demo from the build folder: service, settings, regions, notices, and its picture.
rm -f "$run/cropassist-demo.png"
(cd "$run" && flock /tmp/omnivue-tests.lock "$wine" out/cropassist_demo.exe --output cropassist-demo.png)
[ -s "$run/cropassist-demo.png" ] || { echo "windows: the demo wrote no picture"; exit 1; }
echo "windows: demo picture $root/$run/cropassist-demo.png"
