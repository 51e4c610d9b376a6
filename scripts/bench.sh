#!/usr/bin/env bash
# The benchmarks (never part of the test command): per-stage and whole-chain costs, the
# sound field's tail against its steady state, the worst single transfer, and the engine
# against sox; the figures end in one table (scripts/bench_table.py). With --before, the
# comparison with sox also runs an earlier engine side by side (see bench-vs-sox.sh).
# Usage: scripts/bench.sh [--before REV|BINARY] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target all ampfx-benchmarks

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
bench=build/host/driver/effects/bench
"$bench/effects_process_bench" --benchmark_out="$out/process.json" --benchmark_counters_tabular=true
"$bench/equalizer_bench" --benchmark_counters_tabular=true
"$bench/effects_sound_field_bench" --benchmark_out="$out/sound_field.json" \
    --benchmark_counters_tabular=true --benchmark_repetitions=5
"$bench/effects_transfer_bench" --benchmark_out="$out/transfer.json" \
    --benchmark_counters_tabular=true
./scripts/bench-vs-sox.sh "$@" | tee "$out/vs-sox.txt"

echo
/usr/bin/python3 scripts/bench_table.py "$out"
