#!/usr/bin/env bash
# The demo: builds the host tools and plays generated music through the Ampfx effects, first
# offline through the engine, then through the whole simulated machine: the attachment service
# puts the filter driver under a headset, the settings go through the control protocol, and the
# headset records what the driver sent it.
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:-demo-output}"
./scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target ampfx-demo ampfx-render ampfx-sim
./build/host/tools/ampfx-demo/ampfx-demo "$out"

echo
echo "The same music through the simulated machine (examples/demo.scn):"
./build/host/tools/ampfx-sim/ampfx-sim examples/demo.scn --out "$out" >"$out/headset-scenario.txt"
awk '/^> (play|compare-played)/ { print "  " $0; getline; print "    " $0 }' \
    "$out/headset-scenario.txt"
echo "(equal=yes: the headset received exactly what ampfx-demo rendered offline)"
echo
echo "  headset:   $(cd "$out" && pwd)/headset-played.wav"
echo "  scenario:  $(cd "$out" && pwd)/headset-scenario.txt"
