#!/usr/bin/env bash
# The library must load in a host that brings Qt 5.11 of its own. Lists the Qt symbols that
# build/out/libcrop_assist.so takes from Qt and compares them with the reviewed list
# scripts/qt-imports.txt: a symbol that is not in the list fails until someone has checked it and
# added it; so does a listed one that is no longer taken, so the list stays true. Each symbol's
# first Qt release comes from Debian's symbols files of libqt5core5a and libqt5network5 (the
# version in which it first appeared), and must be 5.11.0 or older; Qt's private API (version 0
# there) is never allowed.
#
#   bash scripts/qt-imports.sh [library] [--update]   # --update rewrites the list
set -euo pipefail
cd "$(dirname "$0")/.."
library=build/out/libcrop_assist.so
update=0
for a in "$@"; do
    case $a in --update) update=1 ;; *) library=$a ;; esac
done
list=scripts/qt-imports.txt
oldest=5.11.0
symbols=$(ls /var/lib/dpkg/info/libqt5core5a:*.symbols /var/lib/dpkg/info/libqt5network5:*.symbols)

# "symbol@Qt_5 first-version" for each Qt symbol the library takes.
taken=$(nm -D --undefined-only "$library" | awk '{print $2}' | grep '@Qt' | sort -u |
    while read -r symbol; do
        first=$(awk -v s="$symbol" '$1 == s { print $2; exit }' $symbols)
        echo "$symbol ${first:-unknown}"
    done)

bad=$(echo "$taken" | while read -r symbol first; do
    if [ "$first" = unknown ] || [ "$first" = 0 ] || dpkg --compare-versions "$first" gt "$oldest"; then
        echo "  $symbol (first in Qt $first): $(echo "${symbol%@*}" | c++filt)"
    fi
done)
if [ -n "$bad" ]; then
    echo "qt-imports: the library takes Qt symbols that Qt $oldest does not have:"
    echo "$bad"
    exit 1
fi
if [ "$update" = 1 ]; then
    {
        echo "# The Qt symbols libcrop_assist takes, each with the Qt release it first appeared in."
        echo "# Reviewed: every one is in Qt $oldest. Rewritten by scripts/qt-imports.sh --update."
        echo "$taken"
    } > "$list"
fi
if ! diff -u <(grep -sv "^#" "$list") <(echo "$taken") > /tmp/qt-imports.diff; then
    echo "qt-imports: the library's Qt imports differ from $list (+ new, - no longer taken):"
    grep '^[-+][^-+]' /tmp/qt-imports.diff | while read -r line; do
        symbol=${line#?}
        echo "  $line   $(echo "${symbol%%@*}" | c++filt)"
    done
    echo "qt-imports: check the new ones against Qt $oldest's reference, then run this with --update"
    exit 1
fi
echo "qt-imports: $(echo "$taken" | wc -l) Qt symbols, all in Qt $oldest, as reviewed in $list"
