#!/bin/sh
# The panel's virtual 7.1 window through the whole stack (virtual71_stack.scn): after speaker 0
# is dragged in mode 4, the driver holds the level and angle the panel's mappings give for the
# new place, its speaker mix is the one the same values sent straight to the driver give, and
# the headset receives exactly what ampfx-render makes of the clip with those settings. Then the
# test sound (test_sound_stack.scn): what DirectSound's mixer sent, rendered offline with the
# driver's settings, is what the headset received.
# Usage: virtual71_stack_test.sh AMPFX-SIM AMPFX-RENDER
set -eu
sim=$1 render=$2
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

fail() {
    cat "$out/output.txt"
    echo "$1" >&2
    exit 1
}

"$sim" "$here/virtual71_stack.scn" --out "$out" >"$out/output.txt" || fail "the scenario failed"
if grep -q 'status=0x[C8]' "$out/output.txt"; then
    fail "a request of the scenario failed"
fi
field() { sed -n "s/^$1=//p" "$2" | tail -n 1; }
distances=$(field Virtual7ch1Distance "$out/output.txt")
angles=$(field Virtual7ch1Radian "$out/output.txt")
[ "$(field EnableVirtual7ch1 "$out/output.txt")" = 1 ] || fail "the effect is not on"

# The drag grabbed the icon at (148, 189) 5 pixels in and let go at (100, 150): corner (95, 145).
# Distance: the integer part of the corner's distance from (193, 234); angle: atan2 of the
# offsets, upwards positive; level: 10 ^ ((4 - distance / 9) / 20). The others keep the table's.
awk -v d="$distances" -v a="$angles" 'BEGIN {
    split(d, level, ","); split(a, angle, ",")
    dx = 95 - 193; dy = 234 - 145
    dist = int(sqrt(dx * dx + dy * dy))
    want_level = 10 ^ ((4 - dist / 9) / 20); want_angle = atan2(dy, dx)
    ok = dist == 132 && (level[1] - want_level) ^ 2 < 1e-12 && (angle[1] - want_angle) ^ 2 < 1e-12
    split("2.35619259,0.78539753,1.57079506,0,3.92698741,5.49778271,4.18878698,5.23598337", table, ",")
    for (i = 2; i <= 8; ++i)
        ok = ok && level[i] == "0.707945764" && angle[i] == table[i]
    exit ok ? 0 : 1
}' || fail "the driver's levels or angles are not the panel's mappings: $distances / $angles"

# The same block sent straight to the driver makes the same speaker mix.
cat >"$out/direct.scn" <<SCN
plug 0x160D
filter 1 on
ioctl virtual71 set 1 $distances $angles
state SpeakerMixLeft SpeakerMixRight
SCN
"$sim" "$out/direct.scn" --out "$out" >"$out/direct.txt" || fail "the direct scenario failed"
for side in SpeakerMixLeft SpeakerMixRight; do
    [ "$(field $side "$out/output.txt")" = "$(field $side "$out/direct.txt")" ] ||
        fail "$side differs from the direct request's: $(field $side "$out/direct.txt")"
done

"$render" "$out/music.wav" "$out/rendered.wav" --chunk 1764 --eq on --virtual71 on \
    --distances "$distances" --angles "$angles" 2>/dev/null
if cmp -s "$out/music.wav" "$out/played.wav"; then
    fail "the headset played the clip unprocessed"
fi
cmp "$out/rendered.wav" "$out/played.wav" || fail "the headset and ampfx-render differ"
echo "panel mappings, speaker mix and headset agree: $(wc -c <"$out/played.wav") bytes"

"$sim" "$here/test_sound_stack.scn" --out "$out" >"$out/output.txt" || fail "the test sound failed"
expected="EnableAmpfxEQ=1
AmpfxEQGain=1,1,1,1,1,1,1,1,1,1
EnableVirtual7ch1=0
EnableSoundDRC=0
SoundFieldType=0
EnableNoiseClean=0"
[ "$(grep -E '^(EnableAmpfxEQ|AmpfxEQGain|EnableVirtual7ch1|EnableSoundDRC|SoundFieldType|EnableNoiseClean)=' "$out/output.txt")" = "$expected" ] ||
    fail "the driver's settings are not the ones rendered"
# One second of mix: 48 000 frames of 4 bytes, and not silence.
[ "$(wc -c <"$out/mixed-test-sound.wav")" -eq $((192000 + 44)) ] ||
    fail "the mixer sent $(wc -c <"$out/mixed-test-sound.wav") bytes"
[ "$(tail -c +45 "$out/mixed-test-sound.wav" | tr -d '\000' | wc -c)" -gt 0 ] ||
    fail "the mixer sent silence"
if cmp -s "$out/mixed-test-sound.wav" "$out/played-test-sound.wav"; then
    fail "the headset played the test sound unprocessed"
fi
"$render" "$out/mixed-test-sound.wav" "$out/rendered-test-sound.wav" --chunk 1920 --eq on \
    --virtual71 off 2>/dev/null
cmp "$out/rendered-test-sound.wav" "$out/played-test-sound.wav" ||
    fail "the headset and ampfx-render differ for the test sound"
echo "test sound through DirectSound and the driver agrees: $(wc -c <"$out/played-test-sound.wav") bytes"
