#!/usr/bin/env bash
# The .osm.pbf reader at city scale: a synthetic extract of N features
# (default 10^6; `bench_osm write`) read as blockgen reads it
# (`bench_osm read`), three runs. Prints the file size, and for each run the
# records, the reader's own times and peak resident size, and the wall time
# and peak resident size GNU time measures for the whole process.
# Run from the project root after a build (target bench_osm).
#
#   bench/osm_pbf.sh [N] [RUNS]
set -euo pipefail
count=${1:-1000000}
runs=${2:-3}
bench=build/bench/bench_osm
work=$(mktemp -d)  # a folder never used before
trap 'rm -rf "$work"' EXIT
"$bench" write "$count" "$work/city.osm.pbf"
echo "$count features: $(du -k "$work/city.osm.pbf" | cut -f1) kB of .osm.pbf"
for run in $(seq "$runs"); do
  /usr/bin/time -f "  process: wall %e s, peak resident %M kB" "$bench" read "$work/city.osm.pbf" 2>&1
done
