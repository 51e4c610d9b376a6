#!/bin/bash
# The installer must start on every supported Windows: it may import only the system's own
# libraries, and the WOW64 functions, which 32-bit systems lack, only by run-time lookup.
#   check-imports.sh OBJDUMP INSTALLER
set -euo pipefail
objdump=$1
installer=$2
dump=$("$objdump" -p "$installer")
allowed="advapi32.dll comctl32.dll kernel32.dll msvcrt.dll ole32.dll shell32.dll user32.dll"
failed=0
for dll in $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z'); do
    if [[ " $allowed " != *" $dll "* ]]; then
        echo "$installer imports $dll, which is not a system library it may rely on" >&2
        failed=1
    fi
done
for function in IsWow64Process Wow64DisableWow64FsRedirection Wow64RevertWow64FsRedirection; do
    if grep -qw "$function" <<<"$dump"; then
        echo "$installer imports $function, which 32-bit Windows may not have" >&2
        failed=1
    fi
done
exit $failed
