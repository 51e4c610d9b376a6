#!/usr/bin/env bash
# Fails when a Windows program imports a function that the oldest Windows it supports does
# not export: such a program does not even load there. The list holds, one "dll function" a
# line (lower-case dll), what Windows XP (and XP x64 / Server 2003) export and the programs
# use; a new import fails here until it is checked and listed, or looked up at run time.
#   check-pe-imports.sh OBJDUMP IMAGE ALLOWED-LIST
set -euo pipefail
objdump=$1
image=$2
allowed=$3

dump=$("$objdump" -p "$image")
bad=0
dll=
while IFS= read -r line; do
    if [[ $line =~ DLL\ Name:\ (.+)$ ]]; then
        dll=$(tr 'A-Z' 'a-z' <<<"${BASH_REMATCH[1]}")
        continue
    fi
    # Import lines: "vma:  <hint> <name>" (by name) under the current DLL.
    if [[ -n $dll && $line =~ ^[[:space:]]+[0-9a-fA-F]+[[:space:]]+[0-9]+[[:space:]]+([A-Za-z_][A-Za-z0-9_@?$]*)$ ]]; then
        name=${BASH_REMATCH[1]}
        if ! grep -qxF "$dll $name" "$allowed"; then
            echo "error: $(basename "$image") imports $name from $dll, which Windows XP lacks (or which is not yet checked and listed in $(basename "$allowed"))" >&2
            bad=1
        fi
    fi
    [[ -z $line ]] && dll=
done <<<"$dump"
exit $bad
