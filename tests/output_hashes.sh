#!/usr/bin/env bash
# Fingerprints of everything blockgen and convert write: for each input (the
# sample town, the extracts in ../shared/osm when present, a synthetic city
# of the reader benchmark's input) and each format, one line
# "INPUT RUN SHA256", the hash taken over the sorted list of the run's files
# and their own hashes.
#
#   tests/output_hashes.sh print BIN ASSETS BENCH_GEOJSON
#   tests/output_hashes.sh check BIN ASSETS BENCH_GEOJSON REFERENCE
#
# BIN holds blockgen and convert, ASSETS the built façade textures and tree
# models. "check" compares with REFERENCE the lines of the inputs present
# here and exits 1 on any difference or missing line; the reference was made
# by "print" with the binaries of the code before the files were moved, so
# moving code around must leave every output byte as it was.
set -euo pipefail
mode=$1 bin=$(realpath "$2") assets=$(realpath "$3") bench=$(realpath "$4")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

declare -A inputs=([town]="$source_dir/samples/town")
for folder in "$source_dir"/../shared/osm/*/; do
  [ -d "$folder" ] && inputs[$(basename "$folder")]=${folder%/}
done
"$bench" write 1000 3 "$work/synthetic" >/dev/null
inputs[synthetic]=$work/synthetic

# "check" runs blockgen for fewer formats to stay quick: the other writers
# are the ones convert runs below, on the same scene.
blockgen_formats="json obj pbrt gltf glb ply"
[ "$mode" = check ] && blockgen_formats="json glb ply"

run_hash() {
  (cd "$1" && find . -type f | LC_ALL=C sort | xargs -d '\n' sha256sum) | sha256sum | cut -c1-64
}

for name in $(printf '%s\n' "${!inputs[@]}" | LC_ALL=C sort); do
  input=$work/in-$name
  mkdir -p "$input"
  cp "${inputs[$name]}"/*.geojson "$input/"
  cp -r "$assets/buildings_texture" "$assets/tree_models" "$input/"
  out=$work/out-$name
  for ext in $blockgen_formats; do
    "$bin/blockgen" -o "$out/blockgen-$ext/city.$ext" "$input" >/dev/null
  done
  for ext in json obj pbrt gltf glb ply; do
    "$bin/convert" --scene "$out/blockgen-json/city.json" \
      --output "$out/convert-$ext/city.$ext" >/dev/null
  done
  for run in $(cd "$out" && ls | LC_ALL=C sort); do
    echo "$name $run $(run_hash "$out/$run")"
  done
  rm -rf "$input" "$out"
done >"$work/hashes"

if [ "$mode" = print ]; then
  cat "$work/hashes"
  exit 0
fi
status=0
while read -r name run hash; do
  line=$(grep "^$name $run " "$5" || true)
  if [ -z "$line" ]; then
    echo "$name $run: no reference line"
    status=1
  elif [ "$line" != "$name $run $hash" ]; then
    echo "$name $run: output differs from the reference"
    status=1
  fi
done <"$work/hashes"
[ $status = 0 ] && echo "$(wc -l <"$work/hashes") outputs as before"
exit $status
