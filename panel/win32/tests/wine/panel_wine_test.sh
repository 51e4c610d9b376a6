#!/usr/bin/env bash
# QX_AudioControl.exe under Wine, in a fresh prefix with a skin installed, on a virtual
# desktop with a taskbar (so the notification area can be seen), under Xvfb:
#   1. a start without switches relaunches itself elevated with "-QEXUAC" and runs in the tray
#      (no headset can be present under Wine: the window stays hidden, the tray shows 1088);
#   2. a second start, whatever its switches, ends at once and leaves the first alone;
#   3. a tray double-click gives the device-not-detected message;
#   4. the registered exit message ends the panel with exit code 0;
#   5. the page viewer (the panel with a scripted headset) shows each of the four pages, and
#      every screenshot equals the picture the panel composed in every pixel that is not the
#      colour key; the 3D page's test sound raises no message, and its virtual 7.1 window
#      opens with the effect on and closes with it off; its tray menu lists the skin, checked, and choosing it shows the window
#      again and records the skin in "ResourceInfo.ini";
#   6. with the shipped English skin, the viewer's screen equals the simulated machine's
#      screenshots of the same state (HOST_SCENARIO run by AMPFX_SIM) in every pixel that is
#      not the colour key, on the pages where the two machines hold the same state.
#   panel_wine_test.sh PANEL_EXE PROBE_EXE PAGES_EXE SKIN_DLL COMPARE_PY OUTPUT_DIR
#                      ENGLISH_SKIN_DLL AMPFX_SIM HOST_SCENARIO
# Run under xvfb-run with a 1024x768x24 screen. The screenshots stay in OUTPUT_DIR.
set -uo pipefail

panel_exe=${1:-}
probe_exe=${2:-}
pages_exe=${3:-}
skin_dll=${4:-}
compare_py=${5:-}
output=${6:-}
english_dll=${7:-}
ampfx_sim=${8:-}
host_scenario=${9:-}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
title='QEX USB Ampfx Suite'
no_device='Device not detected or The system default audio device is not QEX4410/4420'

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}
step() { printf '\n--- %s\n' "$*"; }

[ -x "$wine" ] || fail "$wine not found (Debian package wine64)"
[ -n "${DISPLAY:-}" ] || fail "no display: run under xvfb-run -s '-screen 0 1024x768x24'"
for file in "$panel_exe" "$probe_exe" "$pages_exe" "$skin_dll" "$compare_py" "$english_dll" \
    "$ampfx_sim" "$host_scenario"; do
    [ -f "$file" ] || fail "'$file' not found: build the windows-x64 preset first" \
        "(cmake --preset windows-x64 && cmake --build --preset windows-x64)"
done
[ -n "$output" ] || fail "no output folder given"

work=$(mktemp -d "${TMPDIR:-/tmp}/ampfx-panel-wine.XXXXXX")
prefix=$work/prefix
log=$work/output.txt
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# A null sound device, so that DirectSound and the wave devices exist without a sound card.
export HOME=$work
printf 'pcm.!default { type null }\nctl.!default { type hw card 0 }\n' >"$HOME/.asoundrc"

cleanup() {
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

# w SECONDS PROGRAM ARGS...: one Wine command with its own time limit, its output in $log.
w() {
    local seconds=$1
    shift
    timeout --kill-after=5 "$seconds" "$wine" "$@" </dev/null >"$log" 2>&1
}
output_text() { tr -d '\r' <"$log"; }

wait_for() {
    local tries=$(($1 * 2))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.5
    done
}

# The panel processes of this prefix (Wine shows them by their Windows command line).
panels() {
    local pid
    for pid in $(pgrep -f '^C:\\windows\\system32\\QX_AudioControl\.exe'); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$prefix" &&
            printf '%s %s\n' "$pid" "$(tr '\0' ' ' <"/proc/$pid/cmdline")"
    done
}
panel_count() { panels | grep -c . || true; }
no_panel() { [ "$(panel_count)" -eq 0 ]; }
window_is() {
    w 30 'C:\windows\system32\panel_wine_probe.exe' window
    [ "$(output_text)" = "window=$1" ]
}

# tray_shows R G B: the taskbar's notification area holds pixels of that exact colour.
tray_shows() {
    import -window root "$work/tray.png" 2>/dev/null || return 1
    /usr/bin/python3 - "$work/tray.png" "$@" <<'PY'
import sys
from PIL import Image
image = Image.open(sys.argv[1]).convert("RGB")
want = tuple(int(v) for v in sys.argv[2:5])
w, h = image.size
area = image.crop((w - 200, h - 40, w, h))
sys.exit(0 if sum(1 for p in area.getdata() if p == want) >= 16 else 1)
PY
}

# show_pages FOLDER: the pages viewer shows the four pages into FOLDER, each screenshot taken
# once the viewer says the page is ready; the viewer's exit code.
show_pages() {
    local folder=$1 page viewer
    mkdir -p "$folder"
    timeout 150 "$wine" 'C:\windows\system32\panel_pages.exe' -QEXUAC "Z:${folder//\//\\}" \
        </dev/null >"$folder/viewer.txt" 2>&1 &
    viewer=$!
    for page in 0 1 2 3; do
        wait_for 60 test -f "$folder/page-$page.txt" ||
            fail "page $page never came:"$'\n'"$(cat "$folder/pages.log" 2>/dev/null)"
        import -window root "$folder/shot-$page.png" || fail "no screenshot of page $page"
        touch "$folder/shot-$page.done"
    done
    # On the 3D page the viewer opens the virtual 7.1 window.
    wait_for 30 test -f "$folder/v71.txt" ||
        fail "no virtual 7.1 window:"$'\n'"$(cat "$folder/pages.log" 2>/dev/null)"
    import -window root "$folder/shot-v71.png" || fail "no screenshot of the 7.1 window"
    touch "$folder/v71.done"
    wait "$viewer"
}

# crop_window FOLDER NAME OUTPUT: the window whose place FOLDER/NAME.txt gives, cut out of
# FOLDER/shot-NAME.png.
crop_window() {
    /usr/bin/python3 - "$1/$2.txt" "$1/shot-$2.png" "$3" <<'PY'
import sys
from PIL import Image
x, y, w, h = (int(v) for v in open(sys.argv[1]).read().split())
Image.open(sys.argv[2]).crop((x, y, x + w, y + h)).save(sys.argv[3])
PY
}

system32=$prefix/drive_c/windows/system32
skins=$system32/QX_AudioControlRec

step "fresh prefix $prefix"
w 100 wineboot -i || fail "wineboot did not finish:"$'\n'"$(output_text)"
# Every program runs on one virtual desktop named "shell", which has a taskbar with the
# notification area.
w 30 reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f || fail "reg add Desktop"
w 30 reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d 1024x768 /f ||
    fail "reg add Desktops"
mkdir -p "$skins"
skin_name=$(basename "$skin_dll")
cp "$skin_dll" "$skins/$skin_name"
printf '[DEFAULT]\r\nSkin Path=C:\\windows\\system32\\QX_AudioControlRec\\%s\r\n' "$skin_name" \
    >"$skins/ResourceInfo.ini"
cp "$panel_exe" "$system32/QX_AudioControl.exe"
cp "$probe_exe" "$system32/panel_wine_probe.exe"
cp "$pages_exe" "$system32/panel_pages.exe"
echo "skin $skin_name installed"

step "a start without switches relaunches itself with -QEXUAC and lives in the tray"
w 60 'C:\windows\system32\QX_AudioControl.exe' || fail "the first start exited with $?"
wait_for 30 window_is hidden || fail "no hidden window titled '$title': $(output_text)"
[ "$(panel_count)" -eq 1 ] || fail "expected one running panel, found:"$'\n'"$(panels)"
panels | grep -q -- ' -QEXUAC *$' || fail "the running panel is not the relaunch:"$'\n'"$(panels)"
echo "running: $(panels)"

step "its tray icon is 1088 (no headset)"
wait_for 20 tray_shows 220 30 30 || fail "the notification area shows no icon 1088"
tray_shows 30 60 220 && fail "the notification area shows icon 1091"
cp "$work/tray.png" "$output/wine-tray.png"
echo "tray=1088"

step "a second start ends at once, whatever its switches"
for switches in "-QEXUAC" "-QEXNOUI" ""; do
    # shellcheck disable=SC2086
    w 30 'C:\windows\system32\QX_AudioControl.exe' $switches ||
        fail "a second start with '$switches' exited with $? or did not end"
done
# The relaunched starts come up after the unelevated ones have gone; each ends at the mutex.
one_panel() { [ "$(panel_count)" -eq 1 ]; }
sleep 3
wait_for 20 one_panel || fail "a second instance stayed:"$'\n'"$(panels)"
window_is hidden || fail "the window changed: $(output_text)"
echo "one panel"

step "a tray double-click gives the device-not-detected message"
w 30 'C:\windows\system32\panel_wine_probe.exe' tray-dblclick || fail "$(output_text)"
[ "$(output_text)" = "messagebox text=\"$no_device\"" ] || fail "got: $(output_text)"
output_text

step "the registered exit message ends the panel"
w 30 'C:\windows\system32\panel_wine_probe.exe' exit || fail "$(output_text)"
wait_for 15 no_panel || fail "the panel is still running:"$'\n'"$(panels)"
echo "ended"

step "the exit code after the exit message is 0"
timeout 60 "$wine" 'C:\windows\system32\QX_AudioControl.exe' -QEXUAC </dev/null \
    >"$work/panel.txt" 2>&1 &
panel_pid=$!
wait_for 30 window_is hidden || fail "the panel did not start again: $(output_text)"
w 30 'C:\windows\system32\panel_wine_probe.exe' exit || fail "$(output_text)"
wait "$panel_pid"
code=$?
[ "$code" -eq 0 ] || fail "exit code $code"
echo "exit code 0"

step "the four pages with a scripted headset equal the composed pictures; the tray menu"
# The pages viewer runs as on Windows XP: the microphone page then takes the mixer path,
# which paints the page's background when the mixer cannot be read.
w 30 reg add 'HKCU\Software\Wine' /v Version /d winxp64 /f || fail "reg add Version"
printf '[DEFAULT]\r\nSkin Path=c:\\windows\\system32\\qx_audiocontrolrec\\%s\r\n' "$skin_name" \
    >"$skins/ResourceInfo.ini"
pages=$work/pages
show_pages "$pages"
code=$?
cat "$pages/pages.log"
cp "$pages/pages.log" "$output/wine-pages.log"
[ "$code" -eq 0 ] || fail "the pages viewer ended with $code"
# The 3D page's test sound plays through Wine's DirectSound, so no page raises a message box.
grep -q '^messagebox' "$pages/pages.log" && fail "a page raised a message box"
# The 7.1 window: opened by its button, the effect on in the driver; the button again closes
# it and switches the effect off.
grep -qE '^virtual71 window=shown size=[0-9]+x[0-9]+ driver=1 sends=[1-9]' "$pages/pages.log" ||
    fail "the 7.1 window did not open with the effect on"
grep -qx 'virtual71 closed window=gone driver=0' "$pages/pages.log" ||
    fail "closing the 7.1 window did not switch the effect off"
# The skin was recorded with another case than the folder's: the menu marks no skin until it
# is chosen, and choosing it records the path as the folder's listing gives it.
for pattern in '^before menu 0 .+ >$' '^before menu 1 .+ \[32900\]$' '^before menu 0 separator$' \
    '^before menu 0 .+ \[32771\]$' '^after the skin switch window=shown$' \
    '^after menu 1 .+ \[32900\] checked$' '^microphone monitor redraws=yes$' \
    '^notification delivered=yes$'; do
    grep -qE "$pattern" "$pages/pages.log" || fail "no line like '$pattern' in the viewer's log"
done
# The Rock preset's release saved the driver's gains in the settings file; on the mixer path,
# where Wine's mixer has no line of the headset, the save ends after the ten gains.
rock_gains=$(sed -n 's/^rock driver gains=//p' "$pages/pages.log")
rock_knobs=$(sed -n 's/^rock knobs=//p' "$pages/pages.log")
[ -n "$rock_gains" ] && [ "$rock_gains" != "1 1 1 1 1 1 1 1 1 1" ] ||
    fail "the Rock preset sent no gains: '$rock_gains'"
grep -qxF "settings file bytes=40 gains=$rock_gains" "$pages/pages.log" ||
    fail "the settings file does not hold the Rock gains:"$'\n'"$(grep '^settings' "$pages/pages.log")"

step "a new start loads the settings file into the driver and the knobs"
reloaded=$pages/reloaded
mkdir -p "$reloaded"
timeout 60 "$wine" 'C:\windows\system32\panel_pages.exe' -QEXUAC --settings \
    "Z:${reloaded//\//\\}" </dev/null >"$work/settings.txt" 2>&1 ||
    fail "the settings start ended with $?"
cat "$reloaded/pages.log"
grep -qxF "loaded driver gains=$rock_gains" "$reloaded/pages.log" ||
    fail "the start did not load the saved gains"
# The start places each knob by the inverse of the knob scale, which may land a pixel or
# three away from the preset table's own position for that gain.
loaded_knobs=$(sed -n 's/^loaded knobs=//p' "$reloaded/pages.log")
[ -n "$loaded_knobs" ] && [ "$loaded_knobs" != "311 311 311 311 311 311 311 311 311 311" ] ||
    fail "the start did not move the knobs to the loaded gains (the preset put them at $rock_knobs)"

tr -d '\r' <"$skins/ResourceInfo.ini" |
    grep -qxF "Skin Path=C:\windows\system32\QX_AudioControlRec\\$skin_name" ||
    fail "the skin switch did not record the skin:"$'\n'"$(cat "$skins/ResourceInfo.ini")"
/usr/bin/python3 "$compare_py" "$pages" 4 1.0 | tee "$work/compare.txt"
result=${PIPESTATUS[0]}
for page in 0 1 2 3; do
    cp "$pages/shot-$page.png" "$output/wine-page-$page.png"
    cp "$pages/page-$page.bmp" "$output/composed-page-$page.bmp"
done
cp "$work/compare.txt" "$output/wine-pages-compare.txt"
[ "$result" -eq 0 ] || fail "a screenshot differs from its composed picture"

step "with the English skin, Wine's screen equals the simulated machine's pictures"
# The same state on both: the viewer starts without a settings file, as the scenario does.
find "$prefix/drive_c" -iname 'QEXAudioEQAndMicData.dat' -delete
cp "$english_dll" "$skins/QX_AudioControlRec.dll"
printf '[DEFAULT]\r\nSkin Path=C:\\windows\\system32\\QX_AudioControlRec\\%s\r\n' \
    QX_AudioControlRec.dll >"$skins/ResourceInfo.ini"
english=$work/english
show_pages "$english" || fail "the pages viewer ended with $? on the English skin"
host=$work/host
"$ampfx_sim" "$host_scenario" --out "$host" >"$work/host.txt" 2>&1 ||
    fail "the host's pictures:"$'\n'"$(cat "$work/host.txt")"
crop_window "$english" v71 "$output/wine-english-virtual71.png" ||
    fail "the 7.1 window's screenshot"
for page in 0 1 2 3; do
    cp "$english/shot-$page.png" "$output/wine-english-page-$page.png"
    cp "$host/page-$page.png" "$output/host-english-page-$page.png"
done
/usr/bin/python3 "$compare_py" --host "$host" "$english" 4 0 | tee "$work/host-compare.txt"
cp "$work/host-compare.txt" "$output/wine-host-compare.txt"
# The equalizer, sound-field and 3D pages hold the same state on both machines. The
# microphone page does not: Wine's mixer has no line of the headset, so there the page shows
# no gain knob, where the simulated headset's microphone has one.
for page in 0 1 3; do
    grep -qE "^page $page: .*\(100\.0000%\), 0 key pixels shown$" "$work/host-compare.txt" ||
        fail "page $page under Wine differs from the simulated machine's picture"
done

step "passed"
