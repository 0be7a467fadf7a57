# Sourced by the Windows scripts (mingw.sh, windows.sh, windows-sdk.sh): the names of the exported
# functions, as the header declares them and as a DLL's export table lists them.

# The crop_assist_* functions that api/crop_assist.h declares, sorted, one a line.
header_functions() {
    tr '\n' ' ' < api/crop_assist.h |
        grep -oE 'CROP_ASSIST_CALL[[:space:]]+crop_assist_[a-z_]+[[:space:]]*\(' |
        sed -E 's/^CROP_ASSIST_CALL[[:space:]]+//; s/[[:space:]]*\($//' | sort
}

# The names in DLL $2's export table, sorted, as objdump $1 lists them ("[   0] crop_assist_attach").
dll_exports() {
    "$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort
}
