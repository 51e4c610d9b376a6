#!/usr/bin/env bash
# The x86_64 installer under Wine, in a fresh prefix on a virtual X display, driven through
# its pages by clicks on its buttons (BM_CLICK from wizard_driver.exe): a first install, then
# a second run that offers repair and uninstall, asks before cancelling and uninstalls, a
# third that installs again; then the panel as the logon starts it from its Run value, and
# the uninstaller program, whose exit message ends that panel.
# Checks what each leaves on the machine and saves a screenshot of every wizard page.
#   installer_wine_test.sh INSTALLER_EXE WIZARD_DRIVER_EXE PAYLOAD_DIR [SCREENSHOT_DIR
#                          [PANEL_PROBE_EXE]]
# PAYLOAD_DIR is the installer build's staged payloads (NNN-name files).
set -uo pipefail

installer_exe=${1:-}
driver_exe=${2:-}
payloads=${3:-}
shots=${4:-}
probe_exe=${5:-}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
title="QEX Ampfx Suite V305 Setup"

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}
step() { printf '\n--- %s\n' "$*"; }

[ -x "$wine" ] || fail "$wine not found (Debian package wine64)"
for f in "$installer_exe" "$driver_exe"; do
    [ -f "$f" ] || fail "'$f' not found: build the windows-x64 preset first" \
        "(cmake --build --preset windows-x64 --target QEXAudioControlInstall wizard_driver)"
done
command -v Xvfb >/dev/null || fail "Xvfb not found (Debian package xvfb)"

work=$(mktemp -d "${TMPDIR:-/tmp}/ampfx-installer-wine.XXXXXX")
prefix=$work/prefix
log=$work/output.txt
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
display=:$((90 + RANDOM % 400))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=$display

cleanup() {
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w >/dev/null 2>&1
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

w() {
    local seconds=$1
    shift
    timeout --kill-after=5 "$seconds" "$wine" "$@" </dev/null >"$log" 2>&1
}
output() { tr -d '\r' <"$log"; }
drive() { w 30 "$work/setup/wizard_driver.exe" "$@"; }

# until_true SECONDS COMMAND...: polls once a second.
until_true() {
    local seconds=$1
    shift
    for ((i = 0; i < seconds; i++)); do
        "$@" && return 0
        sleep 1
    done
    return 1
}
buttons_are() { drive enabled "$title" && [ "$(output | sed 's/ *$//')" = "$1" ]; }
window_open() { drive enabled "$1"; }

# shot NAME [TITLE]: the window with that title (the wizard's by default) as NAME.png.
shot() {
    [ -n "$shots" ] || return 0
    sleep 1
    local id
    id=$(xdotool search --name "^${2:-$title}\$" 2>/dev/null | head -1)
    if [ -z "$id" ] || ! import -display "$display" -window "$id" "$shots/$1.png" 2>/dev/null; then
        printf 'note: no screenshot %s\n' "$1"
    fi
}

click() {
    drive click "$1" "$2"
    local rc=$?
    [ $rc -eq 0 ] || fail "could not click control $2 of '$1' (exit $rc)"
}

# A message box from the install means a failed step: say what it said.
no_message_box() {
    if drive text "Install"; then
        fail "the install stopped with a message: $(output | tr '\n' ' ')"
    fi
}

# What the uninstall must have removed; the driver's key and file are removed by Dovrel on
# control code 128.
expect_removed() {
    for file in Dovrel.exe QX_AudioControl.exe QX_AudioControlRec drivers/Ampfx.sys; do
        [ ! -e "$sys/$file" ] || fail "$file is still there"
    done
    [ ! -e "$link" ] || fail "the shortcut is still there"
    [ ! -e "$(dirname "$link")" ] || fail "the start-menu folder is still there"
    w 30 reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\QEX4410AudioExt' &&
        fail "the uninstall key is still there"
    w 30 reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v QX_AudioControl &&
        fail "the Run value is still there"
    w 30 reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Ampfx' &&
        fail "the driver's service key is still there"
    echo "removed"
}

[ -n "$shots" ] && mkdir -p "$shots"
sys=$prefix/drive_c/windows/system32

step "fresh prefix"
w 240 wineboot -i || fail "wineboot failed: $(output)"
# A fresh prefix can come out of wineboot with two service managers answering on the same
# pipe, one of which never learns of services created later. Restarting the server leaves
# one; keeping it up for the whole test keeps that one running between commands.
"$wineserver" -k >/dev/null 2>&1
"$wineserver" -w
"$wineserver" -p </dev/null >/dev/null 2>&1 || fail "could not start a persistent wineserver"
mkdir -p "$work/setup"
cp "$installer_exe" "$work/setup/QEXAudioControlInstall.exe"
cp "$driver_exe" "$work/setup/wizard_driver.exe"

step "first install: language page, progress, done"
(cd "$work/setup" && exec "$wine" QEXAudioControlInstall.exe </dev/null >"$work/setup1.txt" 2>&1) &
until_true 60 window_open "$title" || fail "the wizard did not open"
until_true 10 buttons_are "Next Cancel" || fail "first page buttons: $(output)"
drive text "$title"
output | grep -qx "Select Language :" || fail "page 1 is not the language page: $(output)"
shot 1-language
click "$title" 1001
until_true 5 buttons_are "" || fail "progress page buttons: $(output)"
shot 2-progress
until_true 150 buttons_are "Finish" || { no_message_box; fail "the install did not finish: $(output)"; }
no_message_box
shot 3-done
click "$title" 1009  # No, reboot later
click "$title" 1
until_true 20 bash -c "! timeout 20 '$wine' '$work/setup/wizard_driver.exe' enabled '$title' >/dev/null 2>&1" ||
    fail "Finish did not close the wizard"

step "what the install put in place"
for pair in 147-Dovrel-x64.exe=Dovrel.exe 142-QX_AudioControl.exe=QX_AudioControl.exe \
    145-QX_AmpfxSuiteUninstall.exe=QX_AmpfxSuiteUninstall.exe \
    143-skin-english.dll=QX_AudioControlRec/QX_AudioControlRec.dll \
    139-Ampfx-x64.sys=drivers/Ampfx.sys; do
    cmp -s "$payloads/${pair%%=*}" "$sys/${pair#*=}" || fail "${pair#*=} is not payload ${pair%%=*}"
done
tr -d '\r' <"$sys/QX_AudioControlRec/ResourceInfo.ini" | grep -qx 'Skin Name=System Default' ||
    fail "ResourceInfo.ini: $(cat "$sys/QX_AudioControlRec/ResourceInfo.ini")"
w 30 reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Ampfx' /v ImagePath
output | grep -q 'REG_EXPAND_SZ.*System32\\DRIVERS\\Ampfx.sys' || fail "driver key: $(output)"
w 30 reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v QX_AudioControl
output | grep -qi 'QX_AudioControl.exe -QEXNOUI' || fail "Run value: $(output)"
w 30 reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\QEX4410AudioExt'
output | grep -q 'DisplayVersion.*1.0.0.1' || fail "uninstall key: $(output)"
link="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Vornel Audio/QX_AmpfxSuite_V305.lnk"
[ "$(head -c 4 "$link" 2>/dev/null | od -An -tx1 | tr -d ' ')" = "4c000000" ] ||
    fail "no shell link at $link"
service_running() { w 30 sc query Dovrel && output | grep -q 'RUNNING'; }
until_true 15 service_running || fail "Dovrel is not running: $(output)"
echo "files, keys, shortcut and running service in place"

step "second run: operation page, confirmation, uninstall through the wizard"
(cd "$work/setup" && exec "$wine" QEXAudioControlInstall.exe </dev/null >"$work/setup2.txt" 2>&1) &
until_true 60 window_open "$title" || fail "the wizard did not open again"
drive text "$title"
output | grep -qx "Select Operation :" || fail "page 1 is not the operation page: $(output)"
shot 0-operation
click "$title" 2     # Cancel
until_true 10 window_open "Torvi Audio Control Install" || fail "no confirmation box"
shot 4-confirm "Torvi Audio Control Install"
click "Torvi Audio Control Install" 2  # No
until_true 10 buttons_are "Next Cancel" || fail "after No: $(output)"
click "$title" 1006  # Uninstall
click "$title" 1001
# The uninstall takes a few seconds; every look at the window is a Wine process start, so
# the page is watched until the done page comes rather than caught at one moment.
seen_text=0
for ((i = 0; i < 60; i++)); do
    if drive text "$title" && output | grep -qx "Uninstalling..."; then
        [ $seen_text -eq 1 ] || shot 6-uninstalling
        seen_text=1
        drive enabled "$title"
        enabled=$(output | sed 's/ *$//')
        [ -z "$enabled" ] || [ "$enabled" = Finish ] ||
            fail "buttons enabled while the uninstall ran: $enabled"
    fi
    buttons_are "Finish" && break
    sleep 0.5
done
buttons_are "Finish" || fail "the uninstall did not finish: $(output)"
[ $seen_text -eq 1 ] || fail "the progress page never read Uninstalling..."
click "$title" 1009
click "$title" 1
until_true 20 bash -c "! timeout 20 '$wine' '$work/setup/wizard_driver.exe' enabled '$title' >/dev/null 2>&1" ||
    fail "Finish did not close the wizard"
expect_removed

step "third run: after the uninstall the wizard starts on the language page again; install"
(cd "$work/setup" && exec "$wine" QEXAudioControlInstall.exe </dev/null >"$work/setup3.txt" 2>&1) &
until_true 60 window_open "$title" || fail "the wizard did not open a third time"
drive text "$title"
output | grep -qx "Select Language :" || fail "after uninstall page 1 is not the language page: $(output)"
click "$title" 1001
until_true 150 buttons_are "Finish" || { no_message_box; fail "the reinstall did not finish: $(output)"; }
no_message_box
click "$title" 1009
click "$title" 1
until_true 20 bash -c "! timeout 20 '$wine' '$work/setup/wizard_driver.exe' enabled '$title' >/dev/null 2>&1" ||
    fail "Finish did not close the wizard"
[ -f "$sys/QX_AmpfxSuiteUninstall.exe" ] || fail "the reinstall left no uninstaller"

panel_pid=
if [ -n "$probe_exe" ]; then
    step "the panel as the logon starts it: the Run value's command, in the tray"
    cp "$probe_exe" "$work/setup/panel_wine_probe.exe"
    probe() { w 30 "$work/setup/panel_wine_probe.exe" "$@"; }
    w 30 reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v QX_AudioControl
    run_command=$(output | sed -n 's/^ *QX_AudioControl *REG_SZ *//p')
    case "$run_command" in
        *" -QEXNOUI") ;;
        *) fail "Run value: '$run_command'" ;;
    esac
    # The command as the shell would run it: the program, then its switch.
    "$wine" "${run_command% -QEXNOUI}" -QEXNOUI </dev/null >"$work/panel.txt" 2>&1 &
    panel_pid=$!
    until_true 60 probe window || fail "the panel did not start from its Run value: $(output)"
    output | grep -qx "window=hidden" || fail "-QEXNOUI showed the window: $(output)"
    # No USB hub under Wine: the headset is never there, which the tray's double-click says.
    probe tray-dblclick || fail "no answer to the tray double-click: $(output)"
    output | grep -qx 'messagebox text="Device not detected or The system default audio device is not QEX4410/4420"' ||
        fail "the tray double-click said: $(output)"
    echo "the panel runs from its Run value and answers its tray icon"
fi

step "the uninstaller"
(cd "$sys" && exec "$wine" QX_AmpfxSuiteUninstall.exe </dev/null >"$work/uninstall.txt" 2>&1) &
uninstall_title="QEX Ampfx Suite V305 Uninstall"
until_true 60 window_open "$uninstall_title" || fail "the uninstaller did not ask"
shot 5-uninstall-confirm "$uninstall_title"
click "$uninstall_title" 6  # IDYES
sleep 3
until_true 60 window_open "$uninstall_title" || fail "the uninstaller did not finish"
drive text "$uninstall_title"
output | grep -q "has been removed" || fail "uninstaller ended with: $(output)"
drive click "$uninstall_title" 1 || fail "no OK on the uninstaller's last box"
until_true 20 bash -c "! timeout 20 '$wine' '$work/setup/wizard_driver.exe' enabled '$uninstall_title' >/dev/null 2>&1" ||
    fail "the uninstaller did not end"

if [ -n "$panel_pid" ]; then
    panel_ended() { ! probe window; }
    until_true 30 panel_ended || fail "the uninstaller's exit message left the panel running"
    echo "the uninstall's exit message ended the running panel"
fi

step "what the uninstaller removed"
expect_removed
echo "PASS"
