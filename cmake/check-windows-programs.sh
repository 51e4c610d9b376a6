#!/usr/bin/env bash
# Every Windows program of a Windows build tree must load on the oldest Windows it supports:
# each one's imports are checked against the list (see check-pe-imports.sh).
#   check-windows-programs.sh OBJDUMP BUILD-DIR ALLOWED-LIST
set -euo pipefail
objdump=$1
build=$2
allowed=$3
here=$(dirname "$0")

programs=(service/win32/Dovrel.exe tools/ampfxctl/ampfxctl.exe
          service/tests/wine/send_service_control.exe panel/win32/QX_AudioControl.exe
          installer/win32/QEXAudioControlInstall.exe installer/win32/QX_AmpfxSuiteUninstall.exe)
bad=0
for program in "${programs[@]}"; do
    if [[ ! -f $build/$program ]]; then
        echo "error: $build/$program is missing; build the Windows preset first" >&2
        bad=1
        continue
    fi
    "$here/check-pe-imports.sh" "$objdump" "$build/$program" "$allowed" || bad=1
done
exit $bad
