#!/usr/bin/env bash
# Cross-builds Google Benchmark for Windows (MinGW-w64, posix threads) from Debian's own source
# package, of the version the Linux build uses, as a static library for the Windows build of
# crop_assist_bench. The result goes into a cache folder outside the source tree, keyed by the
# version and the build options; a complete folder is reused as it is (a build takes under a
# minute).
#
#   bash scripts/benchmark-mingw.sh [i686|x86_64]   # the prefix on stdout, all else on stderr
#
# CROP_ASSIST_CACHE moves the cache (default /var/cache/crop-assist).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
exec 3>&1 1>&2

arch=${1:-i686}
case $arch in
    i686) package_arch=i686 ;;
    x86_64) package_arch=x86-64 ;;
    *) echo "benchmark-mingw: unknown architecture '$arch' (i686 or x86_64)"; exit 2 ;;
esac
triple=$arch-w64-mingw32
bash scripts/deps.sh "g++-mingw-w64-$package_arch-posix" "binutils-mingw-w64-$package_arch" dpkg-dev
# The version of the Linux build's library, so that both builds measure with the same code.
version=$(dpkg-query -W -f='${Version}' libbenchmark-dev)
options=(
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF
    -DGIT_VERSION="${version%%-*}" # Debian's source reads no Git tags; its own build sets this
    -DBENCHMARK_ENABLE_TESTING=OFF -DBENCHMARK_ENABLE_GTEST_TESTS=OFF # its own tests are not run
    -DBENCHMARK_ENABLE_WERROR=OFF # a newer compiler's warnings must not stop the build
    -DBENCHMARK_INSTALL_DOCS=OFF
)
cache=${CROP_ASSIST_CACHE:-/var/cache/crop-assist}
key=$(printf '%s\n' "$version" posix "${options[@]}" | sha256sum | cut -c1-10)
prefix=$cache/benchmark-${version%%-*}-$triple-$key
if [ -f "$prefix/.complete" ]; then
    echo "benchmark-mingw: cached in $prefix"
    echo "$prefix" >&3
    exit 0
fi

# apt-get source needs a deb-src entry for the archive the machine already uses.
bash scripts/deb-src.sh
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

work=$cache/work-benchmark-$key
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && apt-get source -qq "benchmark=$version" > source.log 2>&1) ||
    { $SUDO apt-get update -qq && (cd "$work" && apt-get source -qq "benchmark=$version" \
        > source.log 2>&1); } || { tail -n 20 "$work/source.log"; exit 1; }
src=$(find "$work" -maxdepth 1 -type d -name "benchmark-*" | head -n 1)
[ -n "$src" ] || { echo "benchmark-mingw: no benchmark source unpacked in $work"; exit 1; }

cat > "$work/kit.cmake" <<KIT
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_C_COMPILER $triple-gcc-posix)
set(CMAKE_CXX_COMPILER $triple-g++-posix)
KIT
cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$work/kit.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" "${options[@]}" > "$work/configure.log" 2>&1 ||
    { tail -n 40 "$work/configure.log"; exit 1; }
nice cmake --build "$work/build" -j"$(nproc)" --target install > "$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log"; exit 1; }
[ -f "$prefix/lib/libbenchmark.a" ] || { echo "benchmark-mingw: libbenchmark.a was not installed"; exit 1; }
touch "$prefix/.complete"
cd "$root"
rm -rf "$work"
echo "benchmark-mingw: Google Benchmark $version for $triple built"
echo "$prefix" >&3
