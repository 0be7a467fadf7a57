#!/usr/bin/env bash
# The self-contained SDK's binaries may import Windows system DLLs and our crop_assist.dll only: no
# Qt, no compiler runtime, nothing a host folder could hold in another build. Reads each binary's import table
# (objdump -p) and fails on any other name.
#
#   bash scripts/windows-imports.sh OBJDUMP FILE...
set -euo pipefail
objdump=$1
shift
# What Windows itself provides (what the static Qt Core and Network and the MinGW runtime use among
# it), and the library itself, which the programs load.
system='^(crop_assist|kernel32|user32|advapi32|ws2_32|msvcrt|ole32|oleaut32|shell32|shlwapi|netapi32|userenv|version|winmm|mpr|iphlpapi|dnsapi|secur32|crypt32|bcrypt|ntdll|rpcrt4|psapi)\.dll$'
status=0
for file in "$@"; do
    names=$("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr -d '\r')
    foreign=$(echo "$names" | tr 'A-Z' 'a-z' | grep -vE "$system" || true)
    echo "windows-imports: $(basename "$file"): $(echo $names)"
    if [ -n "$foreign" ]; then
        echo "windows-imports: $(basename "$file") imports DLLs that are not Windows' own: $(echo $foreign)"
        status=1
    fi
done
exit $status
