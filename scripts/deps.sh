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
        # A package run that something else broke off (a machine stopped mid-upgrade) blocks
        # every install until it is finished; finishing it is what apt itself asks for.
        DEBIAN_FRONTEND=noninteractive $SUDO dpkg --configure -a || true
        # Another package run (an upgrade the machine started itself) holds the lock: wait.
        local wait=(-o DPkg::Lock::Timeout=600)
        $SUDO apt-get "${wait[@]}" update -qq
        # Never let a multiarch install remove anything (g++-multilib and cross compilers clash).
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${wait[@]}" install -y -qq --no-remove \
            "${missing[@]}"
    }
    # The i386 and amd64 copies of a library must have the same version; while a mirror is
    # half synchronised they may not, and a later try usually succeeds.
    for delay in 60 120 0; do
        apt_install && break
        [ "$delay" -gt 0 ] || exit 1
        echo "Install failed; retrying in $delay s"
        sleep "$delay"
    done
fi
