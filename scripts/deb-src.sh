#!/usr/bin/env bash
# Makes `apt-get source` work: adds deb-src entries for the archives the machine already uses,
# when it has none. Used by the scripts that build Qt and Google Benchmark for Windows from
# Debian's sources.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "deb-src: adding deb-src entries for the configured archives"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            $SUDO tee /etc/apt/sources.list.d/debian-src.sources > /dev/null
    else
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
            $SUDO tee /etc/apt/sources.list.d/debian-src.list > /dev/null
    fi
    $SUDO apt-get update -qq
fi
