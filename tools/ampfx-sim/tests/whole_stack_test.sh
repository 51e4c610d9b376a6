#!/bin/sh
# Plays a clip through the simulated machine's whole stack (service, filter driver, class
# driver, headset) and checks that the headset received exactly what ampfx-render makes of
# the same clip with the same settings and transfer size.
# Usage: whole_stack_test.sh AMPFX-SIM AMPFX-RENDER
set -eu
sim=$1 render=$2
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$sim" "$here/whole_stack.scn" --out "$out" >"$out/output.txt" || {
    cat "$out/output.txt"
    exit 1
}
# Every request must have been answered: a failed one would make the comparison meaningless.
if grep -q 'status=0x[C8]' "$out/output.txt"; then
    cat "$out/output.txt"
    echo "a request of the scenario failed" >&2
    exit 1
fi
"$render" "$out/music.wav" "$out/rendered.wav" --chunk 1764 --preset jazz --drc on \
    --sound-field 3 --virtual71 on --distances 0.9,0.9,0.7,0.5,0.6,0.6,0.4,0.4 \
    --angles 2.356194,0.785398,1.570796,1.570796,3.141593,0,3.926991,5.497787 2>/dev/null

if cmp -s "$out/music.wav" "$out/played.wav"; then
    echo "the headset played the clip unprocessed" >&2
    exit 1
fi
cmp "$out/rendered.wav" "$out/played.wav"
echo "headset and ampfx-render agree: $(wc -c <"$out/played.wav") bytes"
