#!/usr/bin/env bash
# convert on the synthetic city of bench/city_run.sh: wall time, peak memory
# and output size for a .glb and an .obj, beside a plain cat of the scene's
# files (the floor of reading them).
#
#   bench/convert_run.sh [FEATURES] [FILES]   defaults: 100000 10
# Run from the project root after a build (targets bench_geojson, blockgen,
# convert, asset_files).
set -euo pipefail
features=${1:-100000}
files=${2:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build/bench/bench_geojson write "$features" "$files" "$work/input" >/dev/null
cp -r build/assets/buildings_texture build/assets/tree_models "$work/input/"
build/bin/blockgen -o "$work/scene/city.json" "$work/input" >/dev/null
echo "scene: $features features, $(find "$work/scene" -type f | wc -l) files," \
     "$(du -sh "$work/scene" | cut -f1)"

# Runs a command under /usr/bin/time and prints its wall time and peak memory.
measure() {
  local label=$1
  shift
  /usr/bin/time -v "$@" >/dev/null 2>"$work/time" || { cat "$work/time"; exit 1; }
  local wall rss
  wall=$(grep 'Elapsed (wall clock)' "$work/time" | awk '{print $NF}')
  rss=$(grep 'Maximum resident set size' "$work/time" | awk '{print $NF}')
  printf '%-26s wall %9s   peak memory %6d MB\n' "$label" "$wall" $((rss / 1024))
}

# Every run finds the files in the page cache: warm it once.
cat_scene="find '$work/scene' -type f -print0 | xargs -0 cat >/dev/null"
sh -c "$cat_scene"
measure "cat of the scene's files" sh -c "$cat_scene"
for ext in glb obj; do
  measure "convert to .$ext" build/bin/convert --scene "$work/scene/city.json" \
    --output "$work/$ext/city.$ext"
  echo "  output: $(find "$work/$ext" -type f | wc -l) files, $(du -sh "$work/$ext" | cut -f1)"
  rm -rf "${work:?}/$ext"
done
