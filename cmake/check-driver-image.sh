#!/usr/bin/env bash
# Fails when a driver image imports anything but kernel modules or carries constructors.
#   check-driver-image.sh OBJDUMP IMAGE
set -euo pipefail
objdump=$1
image=$2

allowed='^(ntoskrnl\.exe|hal\.dll|usbd\.sys)$'
bad=0
while read -r dll; do
    if ! printf '%s\n' "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
        echo "error: $image imports from $dll; a kernel driver may import only ntoskrnl.exe, HAL.dll and USBD.SYS" >&2
        bad=1
    fi
done < <("$objdump" -p "$image" | sed -n 's/^\s*DLL Name: //p')

# Whole outputs first: grep -q stopping early would break the pipe under pipefail.
headers=$("$objdump" -p "$image")
sections=$("$objdump" -h "$image")
if grep -Eq '\s\.(ctors|init_array)\s' <<<"$sections"; then
    echo "error: $image has global constructors, which no driver start-up runs" >&2
    bad=1
fi
if ! grep -Eq '^Subsystem\s+0+1\s' <<<"$headers"; then
    echo "error: $image is not a native-subsystem image" >&2
    bad=1
fi
exit $bad
