#!/usr/bin/env bash
# Cross-builds QtCore and QtNetwork for Windows (MinGW-w64, posix threads) from Debian's own
# qtbase source package: for 32-bit x86 (i686, the default), which is what the hosts load, or for
# x86-64, whose programs Wine runs natively on a kernel that does not run 32-bit code. Shared (the
# default) for the suites and for hosts with a Qt of their own, or static in a private namespace
# with the compiler runtime linked in, for the self-contained SDK whose DLL must not meet a host's
# Qt5Core.dll or libstdc++-6.dll. The result goes into a cache folder outside the source tree,
# keyed by the Qt version and the configure options; a complete folder is reused as it is, so a
# machine pays for each build once (about 9 minutes on 2 cores otherwise idle).
#
#   bash scripts/qt-mingw.sh [i686|x86_64] [shared|static]   # the Qt prefix on stdout, all else on stderr
#
# CROP_ASSIST_CACHE moves the cache (default /var/cache/crop-assist).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# Only the prefix goes to stdout, so that a caller can take it and still show the rest.
exec 3>&1 1>&2

qt_version=5.15.8
arch=${1:-i686}
case $arch in
    i686) package_arch=i686 ;;
    x86_64) package_arch=x86-64 ;;
    *) echo "qt-mingw: unknown architecture '$arch' (i686 or x86_64)"; exit 2 ;;
esac
linkage=${2:-shared}
case $linkage in
    # The hosts' DLLs have these names: a Qt of ours under them would meet the host's.
    shared) linkage_options=(-shared) ;;
    # Qt inside our own binaries, its classes renamed so that no symbol can meet a host's Qt, and
    # libstdc++, libgcc and winpthread linked in too.
    static) linkage_options=(-static -static-runtime -qtnamespace CropAssistQt) ;;
    *) echo "qt-mingw: unknown linkage '$linkage' (shared or static)"; exit 2 ;;
esac
triple=$arch-w64-mingw32
# Why each option is there:
options=(
    -xplatform win32-g++ # the target is Windows, built by MinGW-w64 ...
    -device-option CROSS_COMPILE=$triple- # ... with Debian's cross compiler
    -platform linux-g++ # moc, rcc and qmake run here, on the build machine
    -release # debug Qt is of no use to the hosts
    "${linkage_options[@]}"
    -opensource -confirm-license # no prompt in a script
    -nomake examples -nomake tests # only the libraries are wanted
    -no-gui -no-widgets -no-opengl # the library and the service use Core and Network only
    -no-dbus # no D-Bus on Windows
    -no-icu # QString's own codecs are enough; ICU would have to be cross-built as well
    -no-openssl # local sockets only, never TLS
    -qt-pcre -qt-zlib # the bundled copies: nothing to cross-build beside Qt
    -no-sql-sqlite -no-sql-odbc # no SQL module is built
    # Parts of Core and Network that nothing here uses: less to build on every new machine and
    # less inside each self-contained binary. Network keeps local sockets.
    -no-feature-animation -no-feature-statemachine -no-feature-easingcurve
    -no-feature-itemmodel -no-feature-mimetype -no-feature-xmlstream -no-feature-timezone
    -no-feature-big_codecs -no-feature-translation -no-feature-topleveldomain
    -no-feature-hijricalendar -no-feature-islamiccivilcalendar -no-feature-jalalicalendar
    -no-feature-http -no-feature-ftp -no-feature-networkdiskcache -no-feature-bearermanagement
    -no-feature-dnslookup -no-feature-udpsocket -no-feature-networkproxy -no-feature-socks5
)
# The posix thread model (std::thread, std::mutex) comes from the -posix compilers; the
# CROSS_COMPILE prefix names the generic ones, so the posix variants are put first on PATH.
cache=${CROP_ASSIST_CACHE:-/var/cache/crop-assist}
key=$(printf '%s\n' "$qt_version" posix "${options[@]}" | sha256sum | cut -c1-10)
prefix=$cache/qt-$qt_version-$triple-$key
[ "$linkage" = shared ] || prefix=$cache/qt-$qt_version-$triple-$linkage-$key

if [ -f "$prefix/.complete" ]; then
    echo "qt-mingw: cached in $prefix"
    echo "$prefix" >&3
    exit 0
fi

bash scripts/deps.sh "g++-mingw-w64-$package_arch-posix" "binutils-mingw-w64-$package_arch" dpkg-dev \
    perl python3

# apt-get source needs a deb-src entry for the archive the machine already uses.
bash scripts/deb-src.sh
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

start=$SECONDS
work=$cache/work-$key
rm -rf "$work"
mkdir -p "$work"
# The newest Debian revision of that Qt version (5.15.8+dfsg-11+deb12u3, say).
debian_version() {
    apt-cache showsrc qtbase-opensource-src 2>/dev/null | sed -n 's/^Version: //p' |
        grep "^$qt_version+" | sort -V | tail -n 1
}
version=$(debian_version)
if [ -z "$version" ]; then
    $SUDO apt-get update -qq
    version=$(debian_version)
fi
[ -n "$version" ] || { echo "qt-mingw: no qtbase $qt_version source package found"; exit 1; }
(cd "$work" && apt-get source -qq "qtbase-opensource-src=$version" > source.log 2>&1) ||
    { tail -n 20 "$work/source.log"; exit 1; }
src=$(find "$work" -maxdepth 1 -type d -name "qtbase-opensource-src-$qt_version*" | head -n 1)
[ -n "$src" ] || { echo "qt-mingw: no qtbase $qt_version source unpacked in $work"; exit 1; }

posix=$work/posix-bin
mkdir -p "$posix"
for tool in gcc g++ c++ cpp; do
    ln -sf "$(command -v "$triple-$tool-posix" || command -v "$triple-$tool")" "$posix/$triple-$tool"
done
export PATH=$posix:$PATH

cd "$src"
echo "qt-mingw: configuring $(basename "$src") into $prefix"
./configure -prefix "$prefix" "${options[@]}" > "$work/configure.log" 2>&1 ||
    { tail -n 40 "$work/configure.log"; exit 1; }
jobs=$(nproc)
# qmake's own project files first, then only the libraries and host tools that are needed.
nice make -j"$jobs" sub-src-qmake_all > "$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log"; exit 1; }
(cd src && nice make -j"$jobs" sub-corelib-make_first sub-network-make_first \
    sub-moc-make_first sub-rcc-make_first) >> "$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log"; exit 1; }
# CMake's Qt5 package wants the libraries, moc, rcc, qmake and mkspecs installed.
# A static QtCore needs the bundled PCRE2 as a library of its own; a shared one has it inside.
installs=(sub-corelib-install_subtargets sub-network-install_subtargets sub-moc-install_subtargets
    sub-rcc-install_subtargets)
[ "$linkage" = shared ] || installs+=(sub-3rdparty-pcre2-install_subtargets)
(cd src && make "${installs[@]}") >> "$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log"; exit 1; }
make sub-qmake-qmake-aux-pro-install_subtargets install_mkspecs >> "$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log"; exit 1; }
if [ "$linkage" = shared ]; then
    built=(bin/Qt5Core.dll bin/Qt5Network.dll)
else
    built=(lib/libQt5Core.a lib/libQt5Network.a lib/libqtpcre2.a)
fi
for f in "${built[@]}" mkspecs/win32-g++/qplatformdefs.h; do
    [ -f "$prefix/$f" ] || { echo "qt-mingw: $f was not installed"; exit 1; }
done
touch "$prefix/.complete"
cd "$root"
rm -rf "$work"
echo "qt-mingw: Qt $qt_version for $triple ($linkage) built in $((SECONDS - start)) s"
echo "$prefix" >&3
