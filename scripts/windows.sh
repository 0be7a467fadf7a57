#!/usr/bin/env bash
# The Windows product and its suites under Wine.
#
# 1. The SDK: crop_assist.dll, OmnivueService.exe, cropassist.exe and the demo for 32-bit Windows
#    (build-windows/), self-contained: linked against a static Qt in a private namespace and the
#    static compiler runtime (scripts/qt-mingw.sh i686 static). Packed as the SDK archive a
#    Windows host developer receives (cpack -G ZIP); the import tables of its binaries may name
#    Windows' own DLLs only (scripts/windows-imports.sh).
# 2. Picks what Wine runs: the 32-bit builds themselves where the kernel runs 32-bit programs
#    (Wine's 32-bit side is one); elsewhere the same sources built for x86-64, which wine64 runs
#    natively (build-windows64/, a self-contained SDK too). 32-bit Wine under qemu's emulator
#    does not get through its own start-up, so there the 32-bit SDK is built and packed only.
# 3. The suites, built against the shared Qt the way a host's own MinGW kit builds the library
#    from source: a toolchain file that names only the compilers and the system
#    (build-windows*-suites/), run by CTest under Wine.
# 4. Host folders made from the SDK archive as a host developer unpacks it:
#    - beside stub DLLs named as Qt's and the compiler's (Qt5Core.dll, libstdc++-6.dll, ...)
#      that export nothing we use, the C host tests/windows/loadlibrary_host.c: LoadLibrary, the
#      26 exports by name, calls through cdecl pointers, exit time, a host that dies with a
#      session open, FreeLibrary before a session and after exit, and each way of unloading
#      with a session open (its comment lists them);
#    - beside those, tests/windows/session_end_host.c and its plugin: every way a host ends a
#      session (reload at the same base and another, return from main, unload while recording, a
#      plugin that exits from its DllMain, worker threads, what 200 unloads leave);
#    - beside a shared Qt of the host's own, tests/windows/qt_host.cpp: a session from its Qt
#      event loop, after which its own Qt still works.
# 5. Runs the SDK build's demo, which writes its picture.
# scripts/windows-sdk.sh checks what the archive holds beyond its binaries (import libraries for
# MinGW and MSVC with an MSVC-ABI host, version resources, symbols, docs and licences).
#
# Safe to rerun: the Qt caches, the builds and the Wine prefix are reused.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/exports.sh
bash scripts/deps.sh g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine64 llvm doxygen
names=$(header_functions)

# Makes build folder $1 ready for the Qt in $2: CMake keeps the Qt package it found first, so a
# build of another Qt (new configure options give a new cache key) starts from a fresh cache.
fresh_cache() {
    mkdir -p "$1"
    grep -qs "^Qt5_DIR:PATH=$2/" "$1/CMakeCache.txt" || rm -f "$1/CMakeCache.txt"
}

# 1. The self-contained SDK of one architecture, in one folder, packed, its imports and exports
# checked: the DLL's export table and crop_assist.def must list exactly the header's functions.
product() {
    local arch=$1 out=$2 qt
    qt=$(bash scripts/qt-mingw.sh "$arch" static)
    fresh_cache "$out" "$qt"
    cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" \
        -DCROP_ASSIST_WINDOWS_ARCH="$arch" -DCROP_ASSIST_QT_PREFIX="$qt" \
        -DCROP_ASSIST_BUILD_TESTS=OFF > "$out/configure.log" || { cat "$out/configure.log"; exit 1; }
    nice cmake --build "$out" -j"$(nproc)"
    (cd "$out" && cpack -G ZIP > cpack.log) || { cat "$out/cpack.log"; exit 1; }
    bash scripts/windows-imports.sh "$arch-w64-mingw32-objdump" "$out"/out/*.dll "$out"/out/*.exe
    diff <(echo "$names") <(dll_exports "$arch-w64-mingw32-objdump" "$out/out/crop_assist.dll") ||
        { echo "windows: the DLL's exports differ from the header's functions"; exit 1; }
    diff <(echo "$names") <(sed -n 's/^[[:space:]]*\(crop_assist_[a-z_]*\).*/\1/p' \
        "$out/out/crop_assist.def" | sort) || { echo "windows: crop_assist.def differs"; exit 1; }
}

# 3. The suites against the shared Qt, configured as with a native MinGW kit: the toolchain file
# sets the system and the compilers and nothing of this project's.
suites() {
    local arch=$1 out=$2 emulator=$3 qt
    qt=$(bash scripts/qt-mingw.sh "$arch")
    fresh_cache "$out" "$qt"
    cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/tests/windows/kit-$arch.cmake" \
        -DCMAKE_PREFIX_PATH="$qt" -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" \
        -DCROP_ASSIST_BUILD_TESTS=ON > "$out/configure.log" || { cat "$out/configure.log"; exit 1; }
    nice cmake --build "$out" -j"$(nproc)"
}

# 1 to 3: the builds. Sets arch, wine, wineserver, sdk (the build Wine runs the hosts of) and run
# (the suites' build).
build_all() {
    local part=$SECONDS
    if bash scripts/i386-exec.sh --native; then
        bash scripts/deps.sh wine32:i386  # Wine's 32-bit side
        arch=i686
        wine=$(command -v wine)
        wineserver=$(command -v wineserver)
        product i686 build-windows
        sdk=build-windows
        run=build-windows-suites
    else
        arch=x86_64
        wine=/usr/lib/wine/wine64
        wineserver=/usr/lib/wine/wineserver64
        product i686 build-windows
        echo "windows: this kernel runs no 32-bit programs; Wine runs the x86-64 builds"
        bash scripts/deps.sh g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
        product x86_64 build-windows64
        sdk=build-windows64
        run=build-windows64-suites
    fi
    suites "$arch" "$run" "$wine"
    cc=$arch-w64-mingw32-gcc-posix
    echo "windows: builds done in $((SECONDS - part)) s"
}

# A fresh Wine prefix inside the suites' build folder, made once (no display is needed), and a
# Wine server for the run.
start_wine() {
    export WINEPREFIX=$root/$run/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export DISPLAY=
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        local part=$SECONDS
        "$wine" wineboot --init > "$run/wineboot.log" 2>&1
        echo "windows: Wine prefix made in $((SECONDS - part)) s"
    fi
    # A Wine server and the prefix's own services that live through the run, started here with
    # output of their own: started by the first suite, they would hold CTest's pipes and CTest
    # would wait for them. They end with the run.
    "$wineserver" -k 2> /dev/null || true  # a server left by an earlier run
    "$wineserver" -p
    trap '"$wineserver" -k 2> /dev/null || true' EXIT
    "$wine" wineboot > /dev/null 2>&1 < /dev/null
    # A process that stays on the default desktop through the run.  Without one, Wine closes the
    # desktop a moment after its last process has ended and starts it again for the next. Twice,
    # under load, a suite that had just killed the only service running then failed to make its
    # API thread's message window ("CreateWindow() for QEventDispatcherWin32 internal window
    # failed"), and that thread, with no window to be woken through, did not stop at exit.
    "$cc" -o "$run/desktop-keeper.exe" scripts/wine-desktop-keeper.c
    "$wine" "$run/desktop-keeper.exe" > /dev/null 2>&1 < /dev/null &
}

# 3. The suites, under Wine (CTest's emulator).
run_suites() {
    local part=$SECONDS
    flock /tmp/omnivue-tests.lock ctest --test-dir "$run" -j2 --output-on-failure --timeout 600
    echo "windows: suites passed in $((SECONDS - part)) s"
}

# The SDK archive as a host developer unpacks it: our three binaries in bin/ and nothing else.
# Sets unpacked.
unpack_sdk() {
    unpacked=$sdk/sdk
    rm -rf "$unpacked"
    mkdir -p "$unpacked"
    local archive shipped
    archive=$(cd "$sdk" && ls crop_assist-*.zip | grep -v -- '-symbols\.zip$')  # not the symbols
    (cd "$unpacked" && cmake -E tar xf "../$archive")
    unpacked=$(cd "$unpacked"/crop_assist-* && pwd)
    for f in include/crop_assist.h lib/libcrop_assist.dll.a lib/crop_assist.def \
        lib/cmake/CropAssist/CropAssistConfig.cmake; do
        [ -e "$unpacked/$f" ] || { echo "windows: the SDK archive has no $f"; exit 1; }
    done
    shipped=$(cd "$unpacked/bin" && LC_ALL=C ls | tr '\n' ' ')
    [ "$shipped" = "OmnivueService.exe crop_assist.dll cropassist.exe " ] ||
        { echo "windows: the SDK's bin/ holds $shipped"; exit 1; }
    (cd "$unpacked/bin" && ls -l) | awk 'NR > 1 { print "windows: SDK bin/" $NF ": " $5 " bytes" }'
}

# 4. A host folder whose Qt and compiler DLLs are of another build: stubs that export nothing we
# use. The C hosts, built against the SDK alone, run there.
c_hosts() {
    local stubs=$run/host-stubs part
    rm -rf "$stubs"
    mkdir -p "$stubs"
    cp "$unpacked"/bin/* "$stubs"/
    for dll in Qt5Core.dll Qt5Network.dll libstdc++-6.dll libgcc_s_dw2-1.dll libgcc_s_seh-1.dll \
        libwinpthread-1.dll; do
        "$cc" -shared -o "$stubs/$dll" tests/windows/stub_dll.c
    done
    "$cc" -std=c99 -Wall -Wextra -Werror -I"$unpacked/include" -o "$stubs/loadlibrary_host.exe" \
        tests/windows/loadlibrary_host.c
    # The service's names are machine-wide: never overlap with a suite that uses them.
    (cd "$stubs" && flock /tmp/omnivue-tests.lock "$wine" loadlibrary_host.exe crop_assist.dll $names)
    # Every way a host ends a session (tests/windows/session_end_host.c lists them), with a plugin
    # that links the SDK's import library and ends its session from its DllMain. 300 rounds of
    # sessions on worker threads rather than the host's 1000, which take about 4 minutes under
    # wine32.
    "$cc" -std=c99 -Wall -Wextra -Werror -shared -I"$unpacked/include" -o "$stubs/plugin_dll.dll" \
        tests/windows/plugin_dll.c "$unpacked/lib/libcrop_assist.dll.a"
    "$cc" -std=c99 -Wall -Wextra -Werror -I"$unpacked/include" -o "$stubs/session_end_host.exe" \
        tests/windows/session_end_host.c -lpsapi
    part=$SECONDS
    (cd "$stubs" && flock /tmp/omnivue-tests.lock "$wine" session_end_host.exe crop_assist.dll 300)
    echo "windows: the session-end host passed in $((SECONDS - part)) s"
}

# 4. A host folder with a shared Qt of the host's own and its compiler's DLLs (those of the
# suites' build), and the Qt host.
qt_host() {
    local qthost=$run/host-qt
    rm -rf "$qthost"
    mkdir -p "$qthost"
    cp "$run"/out/qt_host.exe "$run"/out/*.dll "$qthost"/
    cp "$unpacked"/bin/* "$qthost"/  # the SDK's DLL in place of the suites' one
    (cd "$qthost" && flock /tmp/omnivue-tests.lock "$wine" qt_host.exe)
}

# 5. The demo of the SDK's build: service, settings, regions, notices, and its picture.
demo() {
    rm -f "$sdk/cropassist-demo.png"
    (cd "$sdk" && flock /tmp/omnivue-tests.lock "$wine" out/cropassist_demo.exe --output cropassist-demo.png)
    [ -s "$sdk/cropassist-demo.png" ] || { echo "windows: the demo wrote no picture"; exit 1; }
    echo "windows: demo picture $root/$sdk/cropassist-demo.png"
}

build_all
start_wine
run_suites
unpack_sdk
bash scripts/windows-sdk.sh build-windows "$([ "$arch" = i686 ] && echo "$wine" || true)"
c_hosts
qt_host
demo
