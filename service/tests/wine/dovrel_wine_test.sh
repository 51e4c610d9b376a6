#!/usr/bin/env bash
# Dovrel.exe under Wine, in a fresh prefix that is thrown away afterwards: registration with
# the service control manager ("/Service"), start and stop as a service, control code 128,
# and unregistration ("/UnregServer").
#   dovrel_wine_test.sh DOVREL_EXE SEND_SERVICE_CONTROL_EXE
#
# No display is given to Wine: a message box then fails at once instead of waiting for a
# click, so a failing registration shows up as its exit code (and Wine's "no driver could be
# loaded" line in the output) rather than a hung test. Every Wine command has a time limit.
set -uo pipefail

dovrel_exe=${1:-}
control_exe=${2:-}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}
step() { printf '\n--- %s\n' "$*"; }

[ -x "$wine" ] || fail "$wine not found (Debian package wine64)"
[ -f "$dovrel_exe" ] ||
    fail "Dovrel.exe not found at '$dovrel_exe': build the windows-x64 preset first" \
        "(cmake --preset windows-x64 && cmake --build --preset windows-x64)"
[ -f "$control_exe" ] || fail "send_service_control.exe not found at '$control_exe'"

work=$(mktemp -d "${TMPDIR:-/tmp}/ampfx-wine.XXXXXX")
prefix=$work/prefix
log=$work/output.txt
export WINEPREFIX=$prefix
export WINEDEBUG=-all,err+winediag
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

# w SECONDS PROGRAM ARGS...: one Wine command with its own time limit, its output in $log.
# Output goes to a file, never a pipe: programs Wine starts on the way (the service manager,
# the service) live on with the server and would hold a pipe open.
w() {
    local seconds=$1
    shift
    timeout --kill-after=5 "$seconds" "$wine" "$@" </dev/null >"$log" 2>&1
}

output() { tr -d '\r' <"$log"; }

# expect_value KEY NAME TYPE DATA
expect_value() {
    w 30 reg query "$1" || fail "registry key $1 is missing"
    output | grep -qxE "[[:space:]]+$2[[:space:]]+$3[[:space:]]+$4[[:space:]]*" ||
        fail "$1: expected $2 $3 $4, found:"$'\n'"$(output)"
}

# service_state: RUNNING, STOPPED, ... or nothing when the service does not exist.
service_state() {
    w 30 sc query Dovrel
    output | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}

# wait_for SECONDS COMMAND...: polls every half second until COMMAND succeeds.
wait_for() {
    local tries=$(($1 * 2))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.5
    done
}

state_is() { [ "$(service_state)" = "$1" ]; }
key_missing() { ! w 30 reg query "$1"; }

system32=$prefix/drive_c/windows/system32
service_key='HKLM\System\CurrentControlSet\Services\Dovrel'
appid_key='HKCR\AppID\{C44B2F58-3AB3-419E-BFDB-C76BE2CAE9B4}'
filter_key='HKLM\SYSTEM\CurrentControlSet\Services\Ampfx'
device_key='HKLM\SYSTEM\CurrentControlSet\Enum\USB\Vid_0f1e&Pid_1607&MI_00'
other_device_key='HKLM\SYSTEM\CurrentControlSet\Enum\USB\Vid_0f1e&Pid_1608&MI_00'

step "fresh prefix $prefix"
w 100 wineboot -i || fail "wineboot did not finish:"$'\n'"$(output)"
# A fresh prefix can come out of wineboot with two service managers answering on the same
# pipe, one of which never learns of services created later. Restarting the server leaves
# one; keeping it up for the whole test keeps that one running between commands.
"$wineserver" -k >/dev/null 2>&1
"$wineserver" -w
"$wineserver" -p </dev/null >/dev/null 2>&1 || fail "could not start a persistent wineserver"
cp "$dovrel_exe" "$system32/Dovrel.exe"
cp "$control_exe" "$system32/send_service_control.exe"

step "Dovrel.exe /Service registers the service and its application identity"
w 60 'C:\windows\system32\Dovrel.exe' /Service ||
    fail "Dovrel.exe /Service exited with $? (Wine's 'no driver' lines mean a message box):" \
        $'\n'"$(output)"
expect_value "$service_key" Type REG_DWORD 0x10
expect_value "$service_key" Start REG_DWORD 0x2
expect_value "$service_key" ErrorControl REG_DWORD 0x1
expect_value "$service_key" DisplayName REG_SZ Dovrel
expect_value "$service_key" ImagePath 'REG_(EXPAND_)?SZ' 'C:\\windows\\system32\\Dovrel\.exe'
expect_value "$service_key" DependOnService REG_MULTI_SZ RPCSS
expect_value "$appid_key" LocalService REG_SZ Dovrel
expect_value "$appid_key" ServiceParameters REG_SZ -Service
echo "registered"

step "net start Dovrel: it runs under the service manager"
w 60 net start Dovrel || fail "net start Dovrel failed:"$'\n'"$(output)"
wait_for 15 state_is RUNNING || fail "service state is '$(service_state)', not RUNNING"
echo "running"

step "control code 128 removes the filter's keys and file, nothing else"
for key in "$filter_key\\Parameters" "$device_key\\6&1&0&0" "$other_device_key"; do
    w 30 reg add "$key" /v Marker /t REG_DWORD /d 1 /f || fail "reg add $key:"$'\n'"$(output)"
done
mkdir -p "$system32/drivers"
echo driver >"$system32/drivers/Ampfx.sys"
w 30 'C:\windows\system32\send_service_control.exe' Dovrel 128 ||
    fail "the service refused control code 128 (error $?)"
wait_for 10 key_missing "$filter_key" || fail "$filter_key is still there"
wait_for 10 key_missing "$device_key" || fail "$device_key is still there"
wait_for 10 test ! -e "$system32/drivers/Ampfx.sys" || fail "drivers\\Ampfx.sys is still there"
w 30 reg query "$other_device_key" || fail "$other_device_key was deleted too"
[ "$(service_state)" = RUNNING ] || fail "the service stopped after code 128"
echo "removed"

step "net stop Dovrel"
w 60 net stop Dovrel || fail "net stop Dovrel failed:"$'\n'"$(output)"
wait_for 15 state_is STOPPED || fail "service state is '$(service_state)', not STOPPED"
echo "stopped"

step "Dovrel.exe /UnregServer deletes the service"
w 60 'C:\windows\system32\Dovrel.exe' /UnregServer ||
    fail "Dovrel.exe /UnregServer exited with $?:"$'\n'"$(output)"
wait_for 10 key_missing "$service_key" || fail "$service_key is still there"
[ -z "$(service_state)" ] || fail "the service manager still lists Dovrel"
echo "unregistered"

step "passed"
