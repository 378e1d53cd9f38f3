#!/usr/bin/env bash
# The viewer on a city: blockgen writes the JSON scene, then view loads it
# and renders FRAMES frames off screen at 1280 x 720 on a virtual display.
# Prints the time to read the scene's files with cat (the floor of loading),
# view's load time, the frame time, the draw calls and the triangles drawn
# per frame, and the peak memory, from the scene's camera and from the
# framing view, with the sun's shadows and without. FORMAT json (default)
# or glb is the scene file blockgen writes; cities of 3·10^5 features and
# more need several GB: run them under flock /tmp/bigmem.lock.
#
#   bench/view_run.sh town|osm/NAME|FEATURES [FRAMES] [FORMAT]   default frames: 100
#     town       the bundled sample town
#     osm/NAME   an extract of ../shared/osm/
#     FEATURES   a synthetic city of that many features (bench_geojson)
# Run from the project root after a build (blockgen, view, bench_geojson).
set -euo pipefail
what=${1:?usage: bench/view_run.sh town|osm/NAME|FEATURES [FRAMES]}
frames=${2:-100}
format=${3:-json}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/input"
case "$what" in
  town) cp samples/town/*.geojson "$work/input/" ;;
  osm/*) cp "../shared/$what"/*.geojson "$work/input/" ;;
  *) build/bench/bench_geojson write "$what" 10 "$work/input" >/dev/null ;;
esac
cp -r build/assets/buildings_texture build/assets/tree_models "$work/input/"
build/bin/blockgen -o "$work/out/city.$format" "$work/input" >/dev/null

echo "scene: $what, $(find "$work/out" -type f | wc -l) files, $(du -sh "$work/out" | cut -f1)"
sync
start=$(date +%s%N)
find "$work/out" -type f -print0 | xargs -0 cat >/dev/null
echo "cat of the scene's files: $(( ($(date +%s%N) - start) / 1000000 )) ms"
for view in "" "--frame true"; do
  for shadows in true false; do
    echo "view ${view:-(the scene camera)}, --shadows $shadows"
    /usr/bin/time -f "view: %e s wall, %M KiB peak memory" \
      xvfb-run -a build/bin/view --scene "$work/out/city.$format" --benchmark "$frames" \
      --shadows "$shadows" $view 2>&1 | tr '\r' '\n' | grep -E '^(scene|benchmark|view):'
  done
done
