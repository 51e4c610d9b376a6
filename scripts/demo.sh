#!/usr/bin/env bash
# The demo: the whole story of a user on the simulated Windows machine. A machine without the
# suite, the installer clicked through in English, a headset plugged in, the attachment service
# putting the filter driver under it, the panel started by the logon, its window opened from
# the tray, the Rock preset, the Hall, the 3D page with the 7.1 window and one speaker moved,
# generated music played through the whole stack and recorded by the headset, compared byte
# for byte with ampfx-render for the settings the driver then holds, and the headset plugged
# in again with the same settings found in the driver. Pictures of each step and the audio
# files land in the output folder.
#   scripts/demo.sh [OUTPUT_FOLDER]   (default demo-output)
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:-demo-output}"
./scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target ampfx-demo ampfx-render ampfx-sim
mkdir -p "$out"

started=$(date +%s.%N)
# The music, the same music through the engine offline, and the equalizer's measured response.
./build/host/tools/ampfx-demo/ampfx-demo "$out"
echo
echo "The story on the simulated machine (examples/demo.scn):"
./scripts/demo-story.sh "$out" build/host/tools/ampfx-sim/ampfx-sim \
    build/host/tools/ampfx-render/ampfx-render
finished=$(date +%s.%N)

where=$(cd "$out" && pwd)
echo
echo "What each step showed:"
echo "  $where/1-equalizer.png     the panel opened from the tray"
echo "  $where/2-rock.png          the Rock preset"
echo "  $where/3-hall.png          the sound field: Hall"
echo "  $where/4-speaker-test.png  the 3D page with a speaker moved"
echo "  $where/4-virtual71.png     the virtual 7.1 window"
echo "What was heard:"
echo "  $where/music-input.wav            the music"
echo "  $where/headset-played.wav         what the headset received through the driver"
echo "  $where/rendered-for-driver.wav    ampfx-render with the driver's settings (the same bytes)"
echo "  $where/story.txt                  every step's output on the simulated machine"
awk -v a="$started" -v b="$finished" 'BEGIN { printf "The demo took %.1f s (without the build).\n", b - a }'
