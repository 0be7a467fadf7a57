#!/usr/bin/env bash
# Compiles the Windows side with Debian's 32-bit MinGW-w64 cross compiler, into build-mingw/:
# the Qt-free sources (the Windows platform layer, the API lock), the
# public and export headers as C and as C++ with their layout checks, the __cdecl checks, and a
# small DLL whose export table must list every crop_assist_* function of the header, undecorated
# and caller-cleans (__cdecl), with the C example host linked against it. Nothing here runs
# Windows code; the parts that need Qt need a Windows Qt and are not built.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/exports.sh
bash scripts/deps.sh g++-mingw-w64-i686-posix binutils-mingw-w64-i686

out=build-mingw
mkdir -p "$out"
cc=i686-w64-mingw32-gcc-posix
cxx=i686-w64-mingw32-g++-posix
warn=(-Wall -Wextra -Werror)
c_flags=(-x c -std=c99 -pedantic "${warn[@]}" -Iapi)
cxx_flags=(-x c++ -std=c++17 -pedantic "${warn[@]}" -Iapi)

step() { echo "== mingw: $*"; }

step "Qt-free library sources"
"$cxx" -std=c++17 "${warn[@]}" -Iplatform -c platform/platform_windows.cpp \
    -o "$out/platform_windows.o"
"$cxx" -std=c++17 "${warn[@]}" -Iapi -c api/apimutex.cpp -o "$out/apimutex.o"

step "public header and layout checks as C and C++, for hosts and for the library"
for building in "" -DCROP_ASSIST_BUILDING; do
    "$cc" "${c_flags[@]}" $building -c tests/header_c.c -o "$out/header_c.o"
    "$cxx" "${cxx_flags[@]}" $building -c tests/header_c.c -o "$out/header_cxx.o"
done

step "__cdecl for exports and callbacks under a __stdcall default (-mrtd)"
"$cc" "${c_flags[@]}" -mrtd -c tests/header_c.c -o "$out/header_cdecl_c.o"
"$cxx" "${cxx_flags[@]}" -mrtd -c tests/header_c.c -o "$out/header_cdecl_cxx.o"

step "export table of a DLL built from the header's declarations (-mrtd)"
# Every exported function with the header's own declaration and an empty body: its export table
# shows the names and convention a 32-bit host sees (name@bytes where __cdecl was lost). The real
# library needs Qt for Windows, which this build does not have.
{
    echo '#define CROP_ASSIST_BUILDING'
    echo '#include "crop_assist.h"'
    tr '\n' ' ' < api/crop_assist.h |
        grep -oE 'CROP_ASSIST_API[[:space:]]+(int|bool)[[:space:]]+CROP_ASSIST_CALL[^;]*;' |
        sed -E 's/;$/ { return 0; }/'
} > "$out/export_probe.c"
"$cc" "${c_flags[@]}" -Wno-unused-parameter -mrtd -c "$out/export_probe.c" -o "$out/export_probe.o"
"$cxx" -shared -static -o "$out/crop_assist_probe.dll" \
    -Wl,--out-implib,"$out/libcrop_assist_probe.dll.a" \
    "$out/export_probe.o" "$out/platform_windows.o" "$out/apimutex.o"
# A C host (the documented example) links against the import library by the header's names.
"$cc" "${c_flags[@]}" -c docs/example.c -o "$out/example.o"
"$cc" -o "$out/example.exe" "$out/example.o" "$out/libcrop_assist_probe.dll.a"
dll_exports i686-w64-mingw32-objdump "$out/crop_assist_probe.dll" > "$out/exports.txt"
header_functions > "$out/declared.txt"
if ! diff -u "$out/declared.txt" "$out/exports.txt"; then
    echo "mingw: the DLL's exports differ from the header's functions (+ exported, - declared)"
    exit 1
fi
# Under -mrtd a function without __cdecl would pop its own arguments ("ret $n"); a __cdecl one
# leaves that to the caller.
if i686-w64-mingw32-objdump -d "$out/export_probe.o" | grep -E 'ret[[:space:]]+\$'; then
    echo "mingw: an exported function pops its own arguments: __cdecl is missing"
    exit 1
fi
echo "mingw: $(wc -l < "$out/exports.txt") exports, undecorated names, all caller-cleans (__cdecl)"
