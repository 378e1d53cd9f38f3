#!/usr/bin/env bash
# The viewer on a city: blockgen writes the scene (or a ready-made scene
# file is taken as it is), then view loads it and renders FRAMES frames off
# screen at 1280 x 720 on a virtual display. Prints the time to read the
# scene's files with cat (the floor of loading), view's load time, the frame
# time, the draw calls and the triangles drawn per frame (in the view and in
# the shadow map), and the peak memory, from the scene's camera and from the
# framing view, with the sun's shadows and without. FORMAT json (default)
# or glb is the scene file blockgen writes; cities of 3·10^5 features and
# more need several GB: run them under flock /tmp/bigmem.lock.
#
#   bench/view_run.sh town|osm/NAME|FEATURES|FILE [FRAMES] [FORMAT]   default frames: 100
#     town       the bundled sample town
#     osm/NAME   an extract of ../shared/osm/
#     FEATURES   a synthetic city of that many features (bench_geojson)
#     FILE       a scene file made before (a .glb or .json), read where it is
#   bench/view_run.sh --table FILE... [FRAMES]
#     the town and each file in one run, from the framing view, with
#     shadows: one table row each (frame time, triangles, peak memory)
# Run from the project root after a build (blockgen, view, bench_geojson).
set -euo pipefail
view=${VIEW:-build/bin/view}

# One benchmark run: prints "frame_ms view_triangles shadow_triangles peak_mb cpu_ms load_s
# prepare_s" (cpu_ms: the processor time of all threads a frame, which
# other programs on the machine hardly move).
measure() {
  local file=$1 frames=$2
  shift 2
  local out
  out=$(xvfb-run -a "$view" --scene "$file" --benchmark "$frames" "$@" 2>&1 | tr '\r' '\n')
  echo "$out" | grep -E '^(scene|benchmark):' >&2
  local line load
  line=$(echo "$out" | grep '^benchmark:')
  load=$(echo "$out" | grep '^scene:' | sed -E 's/.*loaded in ([0-9.]+) s, prepared in ([0-9.]+) s.*/\1 \2/')
  echo "$line" | sed -E 's/.*mean frame time ([0-9.]+) ms.* ([0-9]+) triangles drawn per frame \(([0-9]+) in the shadow map\).*peak memory ([0-9]+) MB, processor time ([0-9.]+) ms.*/\1 \2 \3 \4 \5/' | tr '\n' ' '
  echo "$load"
}

make_town() {
  local work=$1
  mkdir -p "$work/input"
  cp samples/town/*.geojson "$work/input/"
  cp -r build/assets/buildings_texture build/assets/tree_models "$work/input/"
  build/bin/blockgen -o "$work/out/city.glb" "$work/input" >/dev/null
}

if [ "${1:-}" = "--table" ]; then
  shift
  files=()
  frames=10
  for a in "$@"; do
    if [ -f "$a" ]; then files+=("$a"); else frames=$a; fi
  done
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  make_town "$work"
  printf '%-44s %10s %10s %12s %12s %8s %9s %8s %8s %8s\n' scene "file MB" "cat s" "frame ms" "x town" \
    "cpu ms" "view tri" "shadow" "peak MB" "load s"
  town_ms=
  for file in "$work/out/city.glb" "${files[@]}"; do
    sync
    start=$(date +%s%N)
    cat "$file" >/dev/null
    cat_s=$(awk -v a="$start" -v b="$(date +%s%N)" 'BEGIN { printf "%.2f", (b - a) / 1e9 }')
    read -r ms tri shadow peak cpu load prepare < <(measure "$file" "$frames" --frame true)
    [ -z "$town_ms" ] && town_ms=$ms
    name=$file
    [ "$file" = "$work/out/city.glb" ] && name="sample town (.glb)"
    printf '%-44s %10s %10s %12s %12s %8s %9s %8s %8s %8s\n' "$name" "$(( $(stat -c %s "$file") / 1048576 ))" \
      "$cat_s" "$ms" "$(awk -v a="$ms" -v b="$town_ms" 'BEGIN { printf "%.2f", a / b }')" "$cpu" "$tri" \
      "$shadow" "$peak" "$load+$prepare"
  done
  exit 0
fi

what=${1:?usage: bench/view_run.sh town|osm/NAME|FEATURES|FILE [FRAMES] [FORMAT]}
frames=${2:-100}
format=${3:-json}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -f "$what" ]; then
  file=$what
  files=("$what")
else
  mkdir -p "$work/input"
  case "$what" in
    town) cp samples/town/*.geojson "$work/input/" ;;
    osm/*) cp "../shared/$what"/*.geojson "$work/input/" ;;
    *) build/bench/bench_geojson write "$what" 10 "$work/input" >/dev/null ;;
  esac
  cp -r build/assets/buildings_texture build/assets/tree_models "$work/input/"
  build/bin/blockgen -o "$work/out/city.$format" "$work/input" >/dev/null
  file=$work/out/city.$format
  mapfile -d '' files < <(find "$work/out" -type f -print0)
fi

echo "scene: $what, ${#files[@]} files, $(du -ch "${files[@]}" | tail -1 | cut -f1)"
sync
start=$(date +%s%N)
cat "${files[@]}" >/dev/null
echo "cat of the scene's files: $(( ($(date +%s%N) - start) / 1000000 )) ms"
for camera in "" "--frame true"; do
  for shadows in true false; do
    echo "view ${camera:-(the scene camera)}, --shadows $shadows"
    /usr/bin/time -f "view: %e s wall, %M KiB peak memory" \
      xvfb-run -a "$view" --scene "$file" --benchmark "$frames" \
      --shadows "$shadows" $camera 2>&1 | tr '\r' '\n' | grep -E '^(scene|benchmark|view):'
  done
done
