#!/usr/bin/env bash
# How the viewer's loading grows with the city: for each size, the time to
# read the scene's files warm (cat, the second of two reads: the floor of
# any load; a .json scene's files are every file in its folder, the shapes
# and images beside it), the viewer's load (read and parse) and prepare (the draw list)
# times, their sum over the read time, the processor time (user + system)
# and peak memory of the whole run, and the frame time and triangles drawn
# from the framing view (5 frames off screen at 1280 x 720). With
# -c OLD_VIEW another viewer binary (main's) runs beside on the same file.
#
#   bench/view_scale.sh [-c OLD_VIEW] [-f FRAMES] N|FILE...
#     N     a synthetic city of N features as a .glb: $SCALE_INPUTS/glb-N/city.glb
#           when it exists (ready-made), else made by bench_geojson and
#           blockgen in a fresh folder
#     FILE  a scene file (.glb or .json) read where it is
#
# Scenes over 1 GB run under flock /tmp/bigmem.lock (a city of 10^6 features
# needs about 3 GB). Run from the project root after a build.
set -euo pipefail
view=${VIEW:-build/bin/view}
old=""
frames=5
while getopts "c:f:" option; do
  case $option in
    c) old=$OPTARG ;;
    f) frames=$OPTARG ;;
    *) echo "usage: bench/view_scale.sh [-c OLD_VIEW] [-f FRAMES] N|FILE..." >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || { echo "usage: bench/view_scale.sh [-c OLD_VIEW] [-f FRAMES] N|FILE..." >&2; exit 2; }
inputs=${SCALE_INPUTS:-../big}
work=$(mktemp -d)
. "$(dirname "$0")/fresh_output.sh"
trap 'drop_output; rm -rf "$work"' EXIT

# Sets $file to the scene file of an argument; a synthetic city is made in
# a fresh folder (the last one made is dropped when the next is made).
scene_file() {
  local what=$1
  file=$what
  [ -f "$file" ] && return
  file=$inputs/glb-$what/city.glb
  [ -f "$file" ] && return
  fresh_output
  mkdir -p "$output/input"
  build/bench/bench_geojson write "$what" 10 "$output/input" >/dev/null
  cp -r build/assets/buildings_texture build/assets/tree_models "$output/input/"
  build/bin/blockgen -o "$output/out/city.glb" "$output/input" >/dev/null
  file=$output/out/city.glb
}

# The files a scene is read from: a .glb alone, a .json scene with the
# shapes and images in its folder.
scene_files() {
  case $1 in
    *.json) find "$(dirname "$1")" -type f -print0 ;;
    *) printf '%s\0' "$1" ;;
  esac
}

# The warm read: two reads with cat, the second timed.
read_seconds() {
  scene_files "$1" | xargs -0 cat >/dev/null
  local start
  start=$(date +%s%N)
  scene_files "$1" | xargs -0 cat >/dev/null
  awk -v a="$start" -v b="$(date +%s%N)" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'
}

scene_bytes() { scene_files "$1" | du -cb --files0-from=- | tail -1 | cut -f1; }

# One viewer run: prints "load prepare cpu peak_mb frame_ms triangles".
measure() {
  local binary=$1 file=$2 lock=()
  [ "$(scene_bytes "$file")" -gt 1073741824 ] && lock=(flock /tmp/bigmem.lock)
  local out
  out=$("${lock[@]}" xvfb-run -a -s "-screen 0 1280x720x24" /usr/bin/time -f "time: %e %U %S %M" \
        "$binary" -s "$file" --frame true --benchmark "$frames" 2>&1 | tr '\r' '\n')
  local scene bench time
  scene=$(echo "$out" | grep '^scene:' || true)
  bench=$(echo "$out" | grep '^benchmark:' || true)
  time=$(echo "$out" | grep '^time:' | tail -1)
  if [ -z "$scene" ] || [ -z "$bench" ]; then
    echo "$out" | grep -v '^\[' >&2
    echo "- - - - - -"
    return
  fi
  local load prepare frame triangles cpu peak
  load=$(echo "$scene" | sed -E 's/.*loaded in ([0-9.]+) s.*/\1/')
  prepare=$(echo "$scene" | sed -E 's/.*prepared in ([0-9.]+) s.*/\1/')
  frame=$(echo "$bench" | sed -E 's/.*mean frame time ([0-9.]+) ms.*/\1/')
  triangles=$(echo "$bench" | sed -E 's/.* ([0-9]+) triangles drawn per frame.*/\1/')
  cpu=$(echo "$time" | awk '{ printf "%.1f", $3 + $4 }')
  peak=$(echo "$time" | awk '{ printf "%d", $5 / 1024 }')
  echo "$load $prepare $cpu $peak $frame $triangles"
}

printf '%-10s %8s %7s %-6s %8s %9s %9s %8s %8s %9s %10s\n' scene "file MB" "read s" viewer "load s" \
  "prepare s" "x read" "cpu s" "peak MB" "frame ms" triangles
for what in "$@"; do
  scene_file "$what"
  read_s=$(read_seconds "$file")
  size_mb=$(( $(scene_bytes "$file") / 1048576 ))
  for which in new old; do
    binary=$view
    if [ "$which" = old ]; then
      [ -n "$old" ] || continue
      binary=$old
    fi
    read -r load prepare cpu peak frame triangles < <(measure "$binary" "$file")
    ratio=$(awk -v l="$load" -v p="$prepare" -v r="$read_s" \
      'BEGIN { if (l == "-" || r <= 0) print "-"; else printf "%.1f", (l + p) / r }')
    printf '%-10s %8s %7s %-6s %8s %9s %9s %8s %8s %9s %10s\n' "$what" "$size_mb" "$read_s" "$which" \
      "$load" "$prepare" "$ratio" "$cpu" "$peak" "$frame" "$triangles"
  done
done
