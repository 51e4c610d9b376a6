#!/bin/bash
# Proves that every payload resource of a built installer equals the file it came from:
# extracts each resource with wrestool and compares it byte for byte.
#   check-payloads.sh INSTALLER TYPE:ID:PATH ...
set -euo pipefail
installer=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for entry in "$@"; do
    type=${entry%%:*}
    rest=${entry#*:}
    id=${rest%%:*}
    path=${rest#*:}
    out="$work/$type-$id"
    wrestool -x --raw --type="+$type" --name="-$id" "$installer" >"$out" 2>/dev/null || true
    if [[ ! -s $out ]]; then
        echo "$installer: resource $type $id is missing" >&2
        failed=1
    elif ! cmp -s "$out" "$path"; then
        echo "$installer: resource $type $id differs from $path" >&2
        failed=1
    fi
done
exit $failed
