#!/bin/sh
# Runs one example scenario and compares its output with the checked-in expected output.
# Usage: run_example.sh AMPFX-SIM SCENARIO EXPECTED
set -eu
sim=$1 scenario=$2 expected=$3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
"$sim" "$scenario" --out "$out" >"$out/output.txt" || status=$?
if [ "$status" -ne 0 ]; then
    cat "$out/output.txt"
    echo "ampfx-sim exited with $status" >&2
    exit 1
fi
diff -u "$expected" "$out/output.txt"
