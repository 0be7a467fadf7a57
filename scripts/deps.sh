#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when some are missing. Safe to rerun.
# Extra packages may be named as arguments; NAME:i386 ones enable the i386 architecture first
# (multiarch, for the 32-bit build).
set -euo pipefail
packages=(build-essential cmake pkg-config qtbase5-dev libgtest-dev libgmock-dev libbenchmark-dev)
packages+=("$@")
missing=()
foreign=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    case $p in *:i386) foreign=(i386) ;; esac
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    for arch in "${foreign[@]}"; do
        dpkg --print-foreign-architectures | grep -qx "$arch" || $SUDO dpkg --add-architecture "$arch"
    done
    apt_install() {
        $SUDO apt-get update -qq
        # Never let a multiarch install remove anything (g++-multilib and cross compilers clash).
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-remove "${missing[@]}"
    }
    # The i386 and amd64 copies of a library must have the same version; while a mirror is
    # half synchronised they may not, and a second try a little later usually succeeds.
    apt_install || { echo "Install failed; retrying in 60 s"; sleep 60; apt_install; }
fi
