#!/usr/bin/env bash
# Installs a build into a temporary prefix, then builds tests/packaging/host.c against the
# installed package twice, with find_package(CropAssist) and with pkg-config and the C compiler,
# and runs each host and the installed cropassist against the stand-in service they start.
# Usage: packaging_test.sh BUILD_DIR C_COMPILER [C_FLAGS]
# C_FLAGS are the build's own (-m32 in a 32-bit build), so the hosts match the library.
set -euo pipefail
build_dir=$1
cc=$2
cflags=${3:-}
read -r -a extra_cflags <<< "$cflags"
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step() { echo "== $*"; }

step "install into $work/prefix"
cmake --install "$build_dir" --prefix "$work/prefix" > "$work/install.log"
for f in include/crop_assist.h include/crop_assist_export.h include/crop_assist.hpp bin/cropassist; do
    [ -e "$work/prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
done
service=$(find "$work/prefix" -name OmnivueService.exe)
library=$(find "$work/prefix" -name 'libcrop_assist.so')
if [ "$(dirname "$service")" != "$(dirname "$library")" ]; then
    echo "the service ($service) is not beside the library ($library)"
    exit 1
fi

step "CMake host (find_package)"
cmake -S "$here/consumer" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" > "$work/cmake-host.log"
cmake --build "$work/cmake-host" >> "$work/cmake-host.log"
"$work/cmake-host/host"

step "pkg-config host"
pc=$(dirname "$(find "$work/prefix" -name crop_assist.pc)")
export PKG_CONFIG_PATH=$pc
read -r -a flags <<< "$(pkg-config --cflags --libs crop_assist)"
libdir=$(pkg-config --variable=libdir crop_assist)
"$cc" "${extra_cflags[@]}" -std=c99 -Wall -Wextra -o "$work/pc-host" "$here/host.c" "${flags[@]}" -Wl,-rpath,"$libdir"
"$work/pc-host"

step "installed cropassist"
"$work/prefix/bin/cropassist" --start devices

step "installed cropassist replays a session that attached (it starts the service from lib/)"
"$service" --standalone > "$work/standalone.log" 2>&1 &
standalone=$!
for _ in $(seq 100); do grep -q '^suffix ' "$work/standalone.log" && break; sleep 0.1; done
CROP_ASSIST_RECORD="$work/attached.jsonl" "$work/prefix/bin/cropassist" devices
kill "$standalone" && wait "$standalone" || true
"$work/prefix/bin/cropassist" replay "$work/attached.jsonl"

echo "packaging: all steps passed"
