#!/usr/bin/env bash
# Throughput and peak memory of velloran-convert against the ffmpeg command-line tool doing the
# same job (same encoders and settings, the same semi-transparent box drawn on every frame), in
# the same run, alternating the two. Prints frames per second, peak memory and their ratios.
#
#   bench/run.sh [PAIRS]        (default 3 pairs per case; not run by CI)
#
# Builds a release copy of the driver in build-bench/ first.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PAIRS="${1:-3}"
BUILD="$ROOT/build-bench"
WORK="$(mktemp -d /tmp/velloran-bench-XXXXXX)"
trap 'rm -rf "$WORK"' EXIT

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVELLORAN_BUILD_TESTS=OFF \
    -DVELLORAN_BUILD_APP=OFF >/dev/null
cmake --build "$BUILD" -j2 --target velloran-convert >/dev/null
DRIVER="$BUILD/tools/velloran-convert/velloran-convert"
[ -x "$DRIVER" ] || DRIVER="$BUILD/tools/velloran-convert"

CLIP="$WORK/clip.mkv"
FRAMES=500
echo "making a 20 s 1280x720 25 fps clip with sound..."
ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=1280x720:rate=25:d=20" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:d=20" \
    -ac 2 -c:v mpeg4 -q:v 3 -c:a pcm_s16le "$CLIP"

# One timed run: prints "seconds peak_kB"; fails loudly when the command fails.
measure() {
    local log="$WORK/time.txt"
    if ! /usr/bin/time -f "%e %M" -o "$log" "$@" >"$WORK/out.txt" 2>&1; then
        echo "command failed: $*" >&2
        tail -5 "$WORK/out.txt" >&2
        exit 1
    fi
    cat "$log"
}

# Case: name, extension, engine options, ffmpeg options, box (yes/no).
run_case() {
    local name="$1" ext="$2" ours="$3" peer="$4" box="$5"
    local our_box=() peer_vf=()
    if [ "$box" = yes ]; then
        our_box=(--box 100,300,200,80,FFFFFF,128)
        # 128 of 255 opacity, filled.
        peer_vf=(-vf "drawbox=x=100:y=300:w=200:h=80:color=0xFFFFFF@0.50196:t=fill")
    fi
    local our_t=0 our_m=0 peer_t=0 peer_m=0
    for ((i = 0; i < PAIRS; i++)); do
        read -r t m < <(measure "$DRIVER" "$CLIP" --out-opts "$ours" "$WORK/ours.$ext" \
            "${our_box[@]}")
        our_t=$(echo "$our_t + $t" | bc -l)
        [ "$m" -gt "$our_m" ] && our_m=$m
        # shellcheck disable=SC2086
        read -r t m < <(measure ffmpeg -nostdin -hide_banner -loglevel error -y -i "$CLIP" \
            "${peer_vf[@]}" $peer "$WORK/peer.$ext")
        peer_t=$(echo "$peer_t + $t" | bc -l)
        [ "$m" -gt "$peer_m" ] && peer_m=$m
    done
    local our_fps peer_fps
    our_fps=$(echo "$FRAMES * $PAIRS / $our_t" | bc -l)
    peer_fps=$(echo "$FRAMES * $PAIRS / $peer_t" | bc -l)
    printf "%-22s ours %7.1f fps %7d kB | peer %7.1f fps %7d kB | speed %.2f memory %.2f\n" \
        "$name" "$our_fps" "$our_m" "$peer_fps" "$peer_m" \
        "$(echo "$our_fps / $peer_fps" | bc -l)" "$(echo "$our_m / $peer_m" | bc -l)"
}

echo "pairs per case: $PAIRS (speed = ours/peer fps, memory = ours/peer peak RSS)"
run_case "AVI mpeg4+mp3, box" avi " -c:v mpeg4 -c:a libmp3lame" "-c:v mpeg4 -c:a libmp3lame" yes
run_case "AVI mpeg4+mp3, none" avi " -c:v mpeg4 -c:a libmp3lame" "-c:v mpeg4 -c:a libmp3lame" no
run_case "MP4 x264+aac, box" mp4 " -c:v libx264 -c:a aac" "-c:v libx264 -c:a aac" yes
run_case "MP4 x264+aac, none" mp4 " -c:v libx264 -c:a aac" "-c:v libx264 -c:a aac" no
