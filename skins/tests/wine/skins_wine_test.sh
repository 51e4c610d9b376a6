#!/usr/bin/env bash
# The x86_64 default skins under Wine, loaded by a real Windows program: their entry points
# run (the name from string 1078 of the library itself), and the page, the waves, the tray
# menu and the icons load through the Windows functions the panel uses.
#   skins_wine_test.sh SKIN_PROBE_EXE SKIN_DIR
set -uo pipefail

probe=${1:-}
skins=${2:-}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

[ -x "$wine" ] || fail "$wine not found (Debian package wine64)"
[ -f "$probe" ] ||
    fail "skin_probe.exe not found at '$probe': build the windows-x64 preset first" \
        "(cmake --preset windows-x64 && cmake --build --preset windows-x64)"

work=$(mktemp -d "${TMPDIR:-/tmp}/ampfx-skins-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

status=0
for pair in "en:English" "zh-hans:简体中文" "zh-hant:繁體中文"; do
    lang=${pair%%:*}
    name=${pair#*:}
    dll=$skins/$lang/QX_AudioControlRec.dll
    [ -f "$dll" ] || fail "$dll not found"
    expected="name $name
same buffer yes
default 1
bitmap 1042 640x480 24 bpp
wave 1071 301510 bytes
wave 1072 317002 bytes
menu 32900 32771
icon 1088 loaded
icon 1091 loaded
icon 1066 absent"
    timeout --kill-after=5 120 "$wine" "$probe" "$dll" </dev/null >"$work/out.txt" 2>&1
    # Wine's own notes on creating the prefix are not the probe's output.
    actual=$(tr -d '\r' <"$work/out.txt" | grep -v '^wine: ')
    if [ "$actual" != "$expected" ]; then
        printf 'FAIL: %s skin:\n--- expected\n%s\n--- actual\n%s\n' "$lang" "$expected" "$actual" >&2
        status=1
    else
        printf 'ok: %s skin\n' "$lang"
    fi
done
exit $status
