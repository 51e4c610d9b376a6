#!/usr/bin/env bash
# panel_ports_probe.exe under Wine in a fresh prefix, under Xvfb (the preset dialog is a real
# window): the panel's Win32 ports against Wine's registry, dialogs, Core Audio, mixer and
# wave-in, with a null sound device.
#   panel_ports_wine_test.sh PROBE_EXE SKIN_DLL
set -uo pipefail

probe_exe=${1:-}
skin_dll=${2:-}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

[ -x "$wine" ] || fail "$wine not found (Debian package wine64)"
[ -n "${DISPLAY:-}" ] || fail "no display: run under xvfb-run -s '-screen 0 1024x768x24'"
for file in "$probe_exe" "$skin_dll"; do
    [ -f "$file" ] || fail "'$file' not found: build the windows-x64 preset first" \
        "(cmake --preset windows-x64 && cmake --build --preset windows-x64)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/ampfx-ports-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export HOME=$work
printf 'pcm.!default { type null }\nctl.!default { type hw card 0 }\n' >"$HOME/.asoundrc"
cleanup() {
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

timeout --kill-after=5 120 "$wine" wineboot -i </dev/null >/dev/null 2>&1
"$wineserver" -w
cp "$skin_dll" "$work/WineTestSkin.dll"
timeout --kill-after=5 120 "$wine" "$probe_exe" 'Z:'"${work//\//\\}"'\WineTestSkin.dll' \
    </dev/null 2>&1 | tr -d '\r' | tee "$work/output.txt"
status=${PIPESTATUS[0]}
grep -q '^0 failed$' "$work/output.txt" || fail "the probe reported failures (exit $status)"
[ "$status" -eq 0 ] || fail "the probe ended with $status"
printf 'PASS\n'
