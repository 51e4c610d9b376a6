#!/bin/sh
# Runs road_of_one_change.scn and checks the road of one equalizer change from the panel's
# knob to the headset: the scenario's output as expected, the driver's gain for band 3 as the
# knob scale gives it for the release position, and what the headset played byte for byte
# what ampfx-render makes of the music with the driver's settings.
# Usage: road_of_one_change_test.sh AMPFX-SIM AMPFX-RENDER
set -eu
sim=$1 render=$2
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$sim" "$here/road_of_one_change.scn" --out "$out" >"$out/output.txt" || {
    cat "$out/output.txt"
    exit 1
}
diff -u "$here/road_of_one_change.expected" "$out/output.txt"

# The first gains the driver reports after the drag: band 3 must be the knob scale's gain for
# top y 273 (the upper half: 6 dB at 234, 0 dB at 311), to the float's precision.
gains=$(grep -m1 '^AmpfxEQGain=' "$out/output.txt" | cut -d= -f2)
echo "$gains" | awk -F, '{
    expected = exp(log(10) * (6 - (273 - 234) * 12 / 154) / 20)
    if ($4 - expected > 1e-6 || expected - $4 > 1e-6) {
        printf "band 3 holds %s, the knob scale gives %.9g\n", $4, expected
        exit 1
    }
    for (i = 1; i <= 10; ++i)
        if (i != 4 && $i != 1) { printf "band %d moved to %s\n", i - 1, $i; exit 1 }
}'
# Every later report of the driver's gains (after the replug, after the panel's restart)
# is the same.
if [ "$(grep '^AmpfxEQGain=' "$out/output.txt" | sort -u | wc -l)" -ne 1 ]; then
    grep '^AmpfxEQGain=' "$out/output.txt" >&2
    echo "the gain did not survive the replug or the panel's restart" >&2
    exit 1
fi

field() { grep -m1 "^$1=" "$out/output.txt" | cut -d= -f2; }
onoff() { if [ "$1" = 0 ]; then echo off; else echo on; fi; }
"$render" "$out/music.wav" "$out/rendered.wav" --eq-gains "$gains" \
    --eq "$(onoff "$(field EnableAmpfxEQ)")" --virtual71 "$(onoff "$(field EnableVirtual7ch1)")" \
    --sound-field "$(field SoundFieldType)" --drc "$(onoff "$(field EnableSoundDRC)")" \
    --noise-clean "$(onoff "$(field EnableNoiseClean)")" 2>/dev/null
if "$render" "$out/music.wav" "$out/flat.wav" --virtual71 off 2>/dev/null &&
    cmp -s "$out/flat.wav" "$out/played.wav"; then
    echo "the headset played the music with a flat equalizer" >&2
    exit 1
fi
cmp "$out/rendered.wav" "$out/played.wav"
echo "band 3 at $(echo "$gains" | cut -d, -f4): headset and ampfx-render agree"
