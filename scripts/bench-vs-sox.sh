#!/usr/bin/env bash
# The effects engine against sox on the same file, side by side in one run.
#
# Input: the generated music clip of the demo, repeated to two minutes of 48 kHz stereo.
# Each pair is timed wall-clock, whole program (reading, processing, writing 16-bit WAV),
# five times in alternation; the median of each side is reported, with the ratio
# sox / ampfx (above 1: the engine is faster). sox runs without dither (-D), as the engine
# has none. Pairs:
#   chain        ampfx-render with every stage on (equalizer with the rock preset, sound
#                field 1, level control, gate, virtual 7.1), 1920-byte transfers
#                against sox: ten one-octave `equalizer` bands with the same gains, `reverb`
#   sound field  ampfx-render with only sound field 1  against  sox `reverb`
#   equalizer    ampfx-render with only the equalizer (rock)  against  sox's ten bands
# With --before, an earlier engine runs in the same alternation (before, engine, sox), so
# that before and after are measured side by side in one run: either the path of an
# ampfx-render binary or a git revision, whose ampfx-render is then built in a scratch
# directory from `git archive` of that revision.
# Usage: scripts/bench-vs-sox.sh [--before REV|BINARY] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."

before=""
if [ "${1:-}" = "--before" ]; then
    before=$2
    shift 2
fi
runs=${1:-5}
./scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target ampfx-render ampfx-demo >/dev/null

render=build/host/tools/ampfx-render/ampfx-render
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

before_render=""
if [ -n "$before" ]; then
    if [ -x "$before" ]; then
        before_render=$before
    else
        mkdir "$work/before"
        git archive "$before" | tar -x -C "$work/before"
        cmake -S "$work/before" -B "$work/before/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            >/dev/null
        cmake --build "$work/before/build" --target ampfx-render >/dev/null
        before_render=$work/before/build/tools/ampfx-render/ampfx-render
    fi
fi

build/host/tools/ampfx-demo/ampfx-demo "$work/demo" >/dev/null
sox "$work/demo/music-input.wav" "$work/in.wav" repeat 9
frames=$(soxi -s "$work/in.wav")
seconds=$(soxi -D "$work/in.wav")

# Rock: 3, 2, -1, -4, -1, 2, 5, 6, 6, 6 dB at 31.5 Hz to 16 kHz, one octave apart.
bands=(31.5:3 63:2 125:-1 250:-4 500:-1 1k:2 2k:5 4k:6 8k:6 16k:6)
sox_eq=()
for band in "${bands[@]}"; do
    sox_eq+=(equalizer "${band%%:*}" 1o "${band##*:}")
done

ampfx_chain=(--preset rock --sound-field 1 --drc on --noise-clean on --virtual71 on)
ampfx_field=(--eq off --virtual71 off --sound-field 1)
ampfx_eq=(--preset rock --virtual71 off)

# Milliseconds of one run of the command.
time_ms() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}

median() {
    printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}

compare() {
    local name=$1 ampfx_args=$2 sox_args=$3
    local -a ampfx_times=() sox_times=() before_times=()
    for ((i = 0; i < runs; i++)); do
        if [ -n "$before_render" ]; then
            # shellcheck disable=SC2086
            before_times+=("$(time_ms "$before_render" "$work/in.wav" "$work/before.wav" $ampfx_args)")
        fi
        # shellcheck disable=SC2086
        ampfx_times+=("$(time_ms "$render" "$work/in.wav" "$work/ampfx.wav" $ampfx_args)")
        # shellcheck disable=SC2086
        sox_times+=("$(time_ms sox -D "$work/in.wav" "$work/sox.wav" $sox_args)")
    done
    if [ -n "$before_render" ] && ! cmp -s "$work/before.wav" "$work/ampfx.wav"; then
        echo "$name: the engine's output differs from the earlier engine's" >&2
        exit 1
    fi
    local a s b=0
    a=$(median "${ampfx_times[@]}")
    s=$(median "${sox_times[@]}")
    [ -n "$before_render" ] && b=$(median "${before_times[@]}")
    awk -v name="$name" -v a="$a" -v s="$s" -v b="$b" -v frames="$frames" \
        -v seconds="$seconds" 'BEGIN {
        printf "%-12s %9d %9d %11.1f %11.1f %9.0fx %9.2f", name, a, s,
               a * 1e6 / frames, s * 1e6 / frames, seconds * 1000 / a, s / a
        if (b > 0) printf " %9d %10.2f", b, s / b
        printf "\n"
    }'
}

printf 'Input: %s frames (%.0f s) of 48 kHz stereo; median of %d runs each, alternating.\n' \
    "$frames" "$seconds" "$runs"
[ -n "$before_render" ] && printf 'Before: %s\n' "$before"
printf '\n%-12s %9s %9s %11s %11s %10s %9s' pair "ampfx ms" "sox ms" "ampfx ns/f" \
    "sox ns/f" "ampfx RT" "sox/ampfx"
[ -n "$before_render" ] && printf ' %9s %10s' "before ms" "sox/before"
printf '\n'
compare chain "${ampfx_chain[*]}" "${sox_eq[*]} reverb"
compare "sound field" "${ampfx_field[*]}" "reverb"
compare equalizer "${ampfx_eq[*]}" "${sox_eq[*]}"
