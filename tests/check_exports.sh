#!/bin/sh
# Checks that the plug-in binary exports exactly _mod_descrip and, on Windows,
# imports nothing beyond the system's own DLLs.
set -eu
platform=$1 tool=$2 binary=$3
if [ "$platform" = linux ]; then
    exports=$("$tool" -D --defined-only "$binary" | awk '{print $3}' | sort -u)
else
    dump=$("$tool" -p "$binary")
    exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t{t=0}' | sort -u)
    imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
    for dll in $imports; do
        case "$dll" in
            kernel32.dll|msvcrt.dll|user32.dll) ;;
            *) echo "unexpected DLL dependency: $dll"; exit 1 ;;
        esac
    done
    echo "imports: $(echo $imports)"
fi
if [ "$exports" != "_mod_descrip" ]; then
    echo "exports are not exactly _mod_descrip:"; echo "$exports"; exit 1
fi
echo "exports: $exports"
