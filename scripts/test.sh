#!/usr/bin/env bash
# Every test: host build and all its tests, the unit tests again under ASan+UBSan, the
# ThreadSanitizer stress tests, the fuzz targets, both Windows cross builds, and the x86_64
# Windows programs under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

started=$SECONDS
# Each stage says how far into the run it starts, so a slow stage shows in the CI log.
step() { printf '\n=== %s (at %d s) ===\n' "$*" $((SECONDS - started)); }

step "host: build and run all tests"
cmake --preset host
cmake --build --preset host
ctest --preset host

step "host-asan: unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset host-asan
cmake --build --preset host-asan
ctest --preset host-asan

step "host-tsan: concurrency stress tests under ThreadSanitizer"
cmake --preset host-tsan
cmake --build --preset host-tsan --target ampfx-tests-tsan
ctest --preset host-tsan

step "host-fuzz: fuzz targets (clang, libFuzzer)"
cmake --preset host-fuzz
cmake --build --preset host-fuzz --target ampfx-fuzzers
ctest --preset host-fuzz
# What each target reached: a blind target (coverage in the tens) feeds code that is not
# instrumented.
./scripts/fuzz-summary.py build/host-fuzz/Testing/Temporary/LastTest.log

# Each installer carries both architectures' driver and service, so the other tree's two
# programs are built first.
cmake --preset windows-x64
cmake --preset windows-x86
step "windows-x86: the driver and the service the x86_64 installer carries"
cmake --build --preset windows-x86 --target Ampfx Dovrel
for preset in windows-x64 windows-x86; do
    step "$preset: cross build"
    cmake --build --preset "$preset"
done

step "wine: the windows-x64 programs under Wine"
ctest --preset wine

step "all tests passed"
