#!/bin/bash
# Copies each payload into the staging folder under its resource name, after checking that
# it exists: a payload from the other architecture's build tree must have been built first.
#   stage-payloads.sh STAGE_DIR NAME=PATH ...
set -euo pipefail
stage=$1
shift
mkdir -p "$stage"
missing=0
for pair in "$@"; do
    name=${pair%%=*}
    path=${pair#*=}
    if [[ ! -f $path ]]; then
        echo "installer payload $name is missing: $path" >&2
        case $path in
            *windows-x86*) echo "  build it first: cmake --build --preset windows-x86 --target Ampfx Dovrel" >&2 ;;
            *windows-x64*) echo "  build it first: cmake --build --preset windows-x64 --target Ampfx Dovrel" >&2 ;;
            *) echo "  set the matching AMPFX_PAYLOAD_* cache variable to the built file" >&2 ;;
        esac
        missing=1
        continue
    fi
    cmake -E copy_if_different "$path" "$stage/$name"
done
exit $missing
