#!/usr/bin/env bash
# The whole blockgen run (read, build, save) on the reader benchmark's
# synthetic input: wall time, peak memory and the number of files written.
#
#   bench/city_run.sh [FEATURES] [FILES] [OUTPUT]   defaults: 100000 10 city.json
# Run from the project root after a build.
set -euo pipefail
features=${1:-100000}
files=${2:-10}
output=${3:-city.json}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build/bench/bench_geojson write "$features" "$files" "$work/input"
cp -r build/assets/buildings_texture build/assets/tree_models "$work/input/"
/usr/bin/time -v build/bin/blockgen -o "$work/out/$output" "$work/input" \
  >"$work/stdout" 2>"$work/time"

tr '\r' '\n' <"$work/stdout" | grep -v '^\[' | grep -v '^$' || true
grep -E 'Elapsed \(wall clock\)|Maximum resident set size' "$work/time"
echo "input: $(du -sh "$work/input" | cut -f1) in $files files, $features features"
echo "files written: $(find "$work/out" -type f | wc -l), $(du -sh "$work/out" | cut -f1)"
