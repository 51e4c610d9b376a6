#!/usr/bin/env bash
# The benchmarks (never part of the test command): per-stage and whole-chain costs.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset bench
