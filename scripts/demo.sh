#!/usr/bin/env bash
# The demo: builds the host tools and plays generated music through the Ampfx effects.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target ampfx-demo ampfx-render
./build/host/tools/ampfx-demo/ampfx-demo "${1:-demo-output}"
