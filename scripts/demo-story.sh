#!/usr/bin/env bash
# The demo's story on the simulated machine (examples/demo.scn), checked link by link: the
# installer on a bare machine, the service attaching the filter, the panel started by the
# logon, the tray, the Rock preset, the Hall, the 7.1 window with a speaker moved, the music
# through the whole stack compared byte for byte with ampfx-render for the settings the driver
# then holds, and the same settings found again after the headset is plugged in anew.
# Exits non-zero at the first broken link.
#   demo-story.sh OUT AMPFX-SIM AMPFX-RENDER
# OUT must hold music-input.wav (ampfx-demo writes it).
set -euo pipefail

out=$1 sim=$2 render=$3
here=$(cd "$(dirname "$0")/.." && pwd)
log=$out/story.txt

fail() {
    echo "demo story: $*" >&2
    echo "(the scenario's output: $log)" >&2
    exit 1
}
say() { echo "  $*"; }
# The output of one scenario command: the lines after "> COMMAND" up to the next command.
after() {
    awk -v want="> $1" '$0 == want { on = 1; next } /^> / { on = 0 } on' "$log"
}
# The last value a state listing printed for FIELD.
field() { sed -n "s/^$1=//p" "$log" | tail -n 1; }
expect_line() {
    after "$1" | grep -qxF -- "$2" || fail "after '$1' no line '$2':"$'\n'"$(after "$1")"
}

[ -f "$out/music-input.wav" ] || fail "no $out/music-input.wav (run ampfx-demo first)"
"$sim" "$here/examples/demo.scn" --out "$out" >"$log" 2>&1 || fail "the scenario stopped"

expect_line "installer run --language english" "installer exit=0"
expect_line "installer run --language english" "page=3/3 done buttons=Finish"
say "the installer ran its three pages on a bare machine"
expect_line "service scan" "device=1 present=yes started=yes problem=0 stack=Ampfx,usbaudio"
say "headset 0x1607 plugged in; the service put the filter under it (stack Ampfx, usbaudio)"
expect_line "logon" "panel=running window=hidden tray=1091"
say "the logon started the panel from its Run value: hidden, tray icon 1091 (headset present)"
expect_line "panel tray dblclick" "panel=running window=shown tray=1091"
say "a double-click on the tray icon showed the window"
expect_line "panel state EqPreset EqKnobTop" "EqPreset=5"
expect_line "panel state SoundFieldType" "SoundFieldType=1"
expect_line "panel state Virtual71 Virtual71Mode SpeakerLayout" "Virtual71=open"
say "clicked Rock, then the Hall, then opened the 7.1 window and moved the front-left speaker"

state="state EnableAmpfxEQ AmpfxEQGain EnableVirtual7ch1 Virtual7ch1Distance Virtual7ch1Radian"
state="$state SoundFieldType EnableSoundDRC EnableNoiseClean HostMuteState"
value() { after "$state" | sed -n "s/^$1=//p"; }
gains=$(value AmpfxEQGain) distances=$(value Virtual7ch1Distance) angles=$(value Virtual7ch1Radian)
[ "$(value EnableAmpfxEQ)" = 1 ] || fail "the equalizer is off"
[ "$gains" != "1,1,1,1,1,1,1,1,1,1" ] || fail "the Rock preset never reached the driver"
[ "$(value SoundFieldType)" = 1 ] || fail "the Hall never reached the driver"
[ "$(value EnableVirtual7ch1)" = 1 ] || fail "the 7.1 window did not switch the effect on"
[ "${distances%%,*}" != "0.707945764" ] || fail "the moved speaker kept its distance"
[ "$(value EnableSoundDRC)" = 0 ] && [ "$(value EnableNoiseClean)" = 0 ] &&
    [ "$(value HostMuteState)" = 0 ] || fail "level control, gate or host mute not as rendered"

# The music as ampfx-render plays it with the settings the driver holds.
"$render" "$out/music-input.wav" "$out/rendered-for-driver.wav" --chunk 1920 --eq on \
    --eq-gains "$gains" --virtual71 on --distances "$distances" --angles "$angles" \
    --sound-field 1 --drc off --noise-clean off 2>/dev/null || fail "ampfx-render failed"
cmp -s "$out/music-input.wav" "$out/headset-played.wav" && fail "the headset played the music unprocessed"
cmp -s "$out/rendered-for-driver.wav" "$out/headset-played.wav" ||
    fail "the headset's recording differs from ampfx-render's for the driver's settings"
say "the driver holds Rock ($gains), sound field 1 and the moved speaker;"
say "  the music the headset received equals ampfx-render's for those settings, byte for byte"

# Plugged in anew: the filter again, the same settings in the driver, the panel sees it.
expect_line "plug 0x1607" "device=2 present=yes started=yes problem=0 stack=Ampfx,usbaudio"
[ "$(field AmpfxEQGain)" = "$gains" ] || fail "after the replug the driver holds $(field AmpfxEQGain)"
[ "$(field SoundFieldType)" = 1 ] || fail "after the replug the sound field is $(field SoundFieldType)"
expect_line "panel state DevicePresent Tray" "Tray=1091"
say "unplugged and plugged in again: the filter loads and the driver holds the same settings"

for picture in 1-equalizer 2-rock 3-hall 4-speaker-test 4-virtual71; do
    [ -s "$out/$picture.png" ] || fail "no picture $picture.png"
done
echo "demo story: every link holds; the headset received exactly what ampfx-render makes of" \
    "the music with the driver's settings ($(wc -c <"$out/headset-played.wav") bytes)"
