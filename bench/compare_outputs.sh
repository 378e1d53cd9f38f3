#!/usr/bin/env bash
# Runs two builds of blockgen and convert on the same inputs and compares
# every file they write, byte for byte: the sample town, the extracts in
# ../shared/osm (when present) and a synthetic city of the reader
# benchmark's input. Each input is turned into every format blockgen writes,
# and the JSON scene is converted by convert into every format it writes.
#
#   bench/compare_outputs.sh OLD_BIN NEW_BIN [FEATURES]   (default 20000)
#
# OLD_BIN and NEW_BIN are folders holding blockgen and convert. Prints one
# line per input and format, "same" or the files that differ; the exit
# status is 1 when anything differs. Run from the project root after a
# build (the synthetic input needs build/bench/bench_geojson).
set -euo pipefail
old=$(realpath "$1")
new=$(realpath "$2")
features=${3:-20000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

inputs=(samples/town)
for folder in ../shared/osm/*/; do [ -d "$folder" ] && inputs+=("${folder%/}"); done
build/bench/bench_geojson write "$features" 3 "$work/synthetic" >/dev/null
inputs+=("$work/synthetic")

status=0
n=0
for folder in "${inputs[@]}"; do
  n=$((n + 1))
  input="$work/in$n"
  mkdir -p "$input"
  cp "$folder"/*.geojson "$input/"
  cp -r build/assets/buildings_texture build/assets/tree_models "$input/"
  for side in old new; do
    bin=$old
    [ $side = new ] && bin=$new
    for ext in json obj pbrt gltf glb ply; do
      "$bin/blockgen" -o "$work/$side$n/blockgen-$ext/city.$ext" "$input" >/dev/null
    done
    for ext in json obj pbrt gltf glb ply; do
      "$bin/convert" --scene "$work/$side$n/blockgen-json/city.json" \
        --output "$work/$side$n/convert-$ext/city.$ext" >/dev/null
    done
  done
  for run in "$work/old$n"/*/; do
    run=$(basename "$run")
    if diff -rq "$work/old$n/$run" "$work/new$n/$run" >"$work/diff"; then
      echo "$folder $run: same ($(find "$work/old$n/$run" -type f | wc -l) files)"
    else
      echo "$folder $run: DIFFERENT"
      head -5 "$work/diff"
      status=1
    fi
  done
  rm -rf "$work/old$n" "$work/new$n" "$input"
done
exit $status
