#!/usr/bin/env bash
# The 32-bit SDK archive as a host team takes it, beyond its binaries (scripts/windows.sh runs
# this after building and packing it):
#
# 1. Its files: both import libraries, the README, the licences, the example, the API reference.
# 2. lib/crop_assist.lib, the import library for MSVC: i386, exactly the header's functions,
#    imported by their undecorated names (llvm-readobj).
# 3. The version resources of the two programs: the header's version and the program's own file
#    name (the DLL's is read at run time by the host below, as a host reads it).
# 4. Symbols: the shipped binaries hold no debug sections but name their .debug file; the
#    symbols archive holds the three .debug files, and addr2line turns crop_assist_init's address
#    into its function and source file.
# 5. tests/windows/msvc_host: a C host of the MSVC ABI built by CMake against the unpacked SDK
#    alone (its package must give it crop_assist.lib), linked by lld-link with no C runtime; it
#    may import crop_assist.dll, kernel32 and version only. Under 32-bit Wine, beside the
#    archive's DLL and stand-in service, it checks the version resource at run time, runs a
#    session and a stand-in that cannot create its record (its own output says each step).
#
#   bash scripts/windows-sdk.sh BUILD [WINE]
#
# BUILD is the SDK's build folder (build-windows); WINE the 32-bit wine, left out where this
# kernel runs no 32-bit programs: then the host is built and checked but not run. Wine's
# prefix and server are the caller's (WINEPREFIX).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "$1" && pwd)
wine=${2:-}
bash scripts/deps.sh clang lld llvm binutils-mingw-w64-i686
fail() {
    echo "windows-sdk: $*"
    exit 1
}
source scripts/exports.sh
names=$(header_functions)

work=$build/sdk-check
rm -rf "$work"
mkdir -p "$work/sdk" "$work/symbols"
archive=$(ls "$build"/crop_assist-*-win32.zip)
(cd "$work/sdk" && cmake -E tar xf "$archive")
sdk=$(cd "$work"/sdk/crop_assist-* && pwd)

# 1. The files.
for f in lib/crop_assist.lib lib/libcrop_assist.dll.a README.md LICENSE THIRD-PARTY-NOTICES.txt \
    docs/example.c docs/api/index.html; do
    [ -s "$sdk/$f" ] || fail "the SDK archive has no $f"
done
echo "windows-sdk: ok the archive's files"

# 2. The MSVC import library.
readobj=$(llvm-readobj "$sdk/lib/crop_assist.lib")
echo "$readobj" | grep '^Arch:' | grep -qv 'i386' && fail "crop_assist.lib is not for i386 only"
diff <(echo "$names") <(echo "$readobj" | sed -n 's/^Symbol: _\(crop_assist_[a-z_]*\)$/\1/p' |
    sort) || fail "crop_assist.lib's functions differ from the header's"
count=$(echo "$names" | wc -l)
[ "$(echo "$readobj" | grep -cE '^Name type: (noprefix|undecorate)$')" -eq "$count" ] ||
    fail "crop_assist.lib does not import every name undecorated"
echo "windows-sdk: ok crop_assist.lib: i386, the header's $count functions, undecorated"

# 3. The version resources.
version=$(sed -n 's/^#define CROP_ASSIST_VERSION_STRING "\(.*\)"$/\1/p' api/crop_assist.h)
for binary in OmnivueService.exe cropassist.exe; do
    resource=$(i686-w64-mingw32-windres -i "$sdk/bin/$binary" -O rc 2> /dev/null || true)
    grep -q "FILEVERSION ${version//./, }, 0" <<< "$resource" &&
        grep -q "VALUE \"ProductVersion\", \"$version\"" <<< "$resource" &&
        grep -q "VALUE \"OriginalFilename\", \"$binary\"" <<< "$resource" ||
        fail "$binary has no version resource of $version for its name"
done
echo "windows-sdk: ok version resources of $version in the two programs"

# 4. Symbols.
objdump=i686-w64-mingw32-objdump
(cd "$work/symbols" && cmake -E tar xf "$build/crop_assist-$version-win32-symbols.zip")
symbols=$work/symbols/crop_assist-$version-win32-symbols
for binary in crop_assist.dll OmnivueService.exe cropassist.exe; do
    sections=$("$objdump" -h "$sdk/bin/$binary")
    grep -q '\.debug_' <<< "$sections" && fail "the shipped $binary has debug sections"
    grep -q '\.gnu_debuglink' <<< "$sections" || fail "the shipped $binary names no .debug file"
    grep -q '\.debug_info' <<< "$("$objdump" -h "$symbols/$binary.debug")" ||
        fail "the symbols archive has no debug information for $binary"
done
# The address of crop_assist_init as a crash report would give it with the DLL loaded at its
# image base; addr2line takes it as it is.
base=$(llvm-readobj --file-headers "$sdk/bin/crop_assist.dll" | sed -n 's/^ *ImageBase: //p')
rva=$(llvm-readobj --coff-exports "$sdk/bin/crop_assist.dll" |
    sed -n '/Name: crop_assist_init$/{n;s/^ *RVA: //p}')
address=$(printf '0x%x' $((base + rva)))
where=$(i686-w64-mingw32-addr2line -f -e "$symbols/crop_assist.dll.debug" "$address" |
    paste -sd ' ')
[[ $where == "crop_assist_init "*"/api/lifecycle.cpp:"[0-9]* ]] ||
    fail "addr2line gives \"$where\" for crop_assist_init at $address"
echo "windows-sdk: ok no debug sections shipped; crop_assist_init at $address is ${where##*/}"

# 5. The MSVC-ABI host, built by CMake against the unpacked SDK alone.
host=$work/msvc-host
{
    cmake -S tests/windows/msvc_host -B "$host" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/tests/windows/msvc_host/toolchain.cmake" \
        -DCMAKE_PREFIX_PATH="$sdk" && cmake --build "$host"
} > "$work/msvc-host.log" 2>&1 || { cat "$work/msvc-host.log"; fail "msvc_host.exe did not build"; }
libraries=$(cat "$host"/CMakeFiles/msvc_host.dir/linkLibs.rsp)
[[ $libraries == *"\"$sdk/lib/crop_assist.lib\""* && $libraries != *.dll.a* ]] ||
    fail "the SDK's CMake package gave the MSVC host $libraries"
imports=$(llvm-readobj --coff-imports "$host/msvc_host.exe" | sed -n 's/^ *Name: //p' |
    tr 'A-Z' 'a-z' | sort | paste -sd ' ')
[ "$imports" = "crop_assist.dll kernel32.dll version.dll" ] ||
    fail "msvc_host.exe imports $imports"
echo "windows-sdk: ok msvc_host.exe: linked with crop_assist.lib, imports $imports"
if [ -z "$wine" ]; then
    echo "windows-sdk: no 32-bit Wine here: msvc_host.exe is not run"
    exit 0
fi
run=$work/msvc-host-run
mkdir -p "$run"
cp "$sdk"/bin/* "$host/msvc_host.exe" "$run"/
# The service's names are machine-wide: never overlap with a suite that uses them.
(cd "$run" && flock /tmp/omnivue-tests.lock timeout 300 "$wine" msvc_host.exe) ||
    fail "msvc_host.exe failed under Wine"
