#!/usr/bin/env bash
# Sets everything up, builds, and runs blockgen on the bundled sample town.
# The input folder is assembled in build/sample/town (the GeoJSON files and
# the asset folders blockgen reads), the scene is written to build/sample/out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

input=build/sample/town
output=build/sample/out/city.json
rm -rf build/sample
mkdir -p "$input"
cp samples/town/*.geojson "$input/"
for assets in buildings_texture tree_models; do
  if [ -d "build/assets/$assets" ]; then cp -r "build/assets/$assets" "$input/"; fi
done

build/bin/blockgen --info true -o "$output" "$input"
echo "scene written to $output"
