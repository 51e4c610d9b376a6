#!/usr/bin/env bash
# test_sound_wine.exe under Wine in a fresh prefix, with ALSA's null device as the sound card
# so that Wine's DirectSound has an endpoint to open. No display: nothing here needs one.
#   test_sound_wine.sh TEST_SOUND_WINE_EXE
set -uo pipefail

exe=${1:-}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] || { echo "FAIL: $wine not found (Debian package wine64)" >&2; exit 1; }
[ -f "$exe" ] || { echo "FAIL: '$exe' not found: build the windows-x64 preset first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/ampfx-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
printf '</usr/share/alsa/alsa.conf>\npcm.!default { type null }\n' >"$work/asound.conf"
export ALSA_CONFIG_PATH=$work/asound.conf
cleanup() {
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

timeout 120 "$wine" "$exe"
