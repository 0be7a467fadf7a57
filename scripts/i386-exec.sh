#!/usr/bin/env bash
# Makes sure 32-bit x86 Linux programs can run here: the 32-bit suites and Wine (itself a 32-bit
# Linux program when it runs 32-bit Windows code) need it. Some kernels are booted with their
# 32-bit emulation off; there the kernel's binfmt_misc hands such programs to qemu's user-mode
# emulator instead, for every process, children included. Safe to rerun.
#
#   bash scripts/i386-exec.sh            # make them run, natively or under qemu
#   bash scripts/i386-exec.sh --native   # only tell: exit 0 when the kernel runs them itself
set -euo pipefail
cd "$(dirname "$0")/.."

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
# A static 32-bit program that exits 0: it needs nothing but the kernel's ability to run it.
printf 'int main(void) { return 0; }\n' > "$probe/probe.c"
bash scripts/deps.sh gcc-multilib
gcc -m32 -static -o "$probe/probe" "$probe/probe.c"
# This script registers the emulator only where the kernel refused the probe, so a registered
# emulator means the kernel does not run them itself.
if [ "${1:-}" = --native ]; then
    ! grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386 && "$probe/probe" 2> /dev/null
    exit
fi
"$probe/probe" 2> /dev/null && exit 0

echo "i386-exec: this kernel does not run 32-bit programs; registering qemu-i386 with binfmt_misc"
bash scripts/deps.sh qemu-user-static
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
misc=/proc/sys/fs/binfmt_misc
[ -e "$misc/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$misc"
if [ ! -e "$misc/qemu-i386" ]; then
    # ELF, 32-bit, little-endian, executable or shared object (PIE), machine 3 (i386). F: the
    # emulator is opened now, so it also serves other mount namespaces and chroots.
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" | $SUDO tee "$misc/register" > /dev/null
fi
"$probe/probe" || { echo "i386-exec: 32-bit programs still do not run"; exit 1; }
echo "i386-exec: 32-bit programs run under qemu-i386"
