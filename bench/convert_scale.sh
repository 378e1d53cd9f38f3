#!/usr/bin/env bash
# convert at city scale, beside the floor: a cat of the scene's files (the
# page cache warm) plus the plain write of the output (cp -r of what convert
# wrote to a new folder).
#
#   bench/convert_scale.sh [-a AFTER] [-b BEFORE] [-f FORMATS] [-s SCENES] [SIZE...]
#
# SIZE is a number of features: the scene SCENES/json-SIZE/city.json, made
# by blockgen from `bench_geojson write SIZE 10` (default SCENES /work/big,
# sizes 100000 300000 1000000). FORMATS is a list of output extensions
# (default "json stl ply glb"). AFTER is the convert to measure (default
# build/bin/convert), BEFORE an older one to measure beside it (optional).
# Each run writes to a fresh ext4 file system (a sparse image on a loop
# device) when run as root, else to a folder never used before; runs that
# may pass 3 GB (the 10^6 runs) wait for /tmp/bigmem.lock outside the
# timing. The table shows, per run, the wall time, the peak resident size,
# the floor (cat + write), the ratio of the wall time to it, and the wall
# time and memory per feature.
set -euo pipefail

after=build/bin/convert
before=""
formats="json stl ply glb"
scenes=/work/big
while getopts "a:b:f:s:" option; do
  case $option in
    a) after=$OPTARG ;;
    b) before=$OPTARG ;;
    f) formats=$OPTARG ;;
    s) scenes=$OPTARG ;;
    *) sed -n '2,/^set/p' "$0" | sed 's/^# \{0,1\}//;/^set/d'; exit 1 ;;
  esac
done
shift $((OPTIND - 1))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(100000 300000 1000000)
binaries=("after=$(realpath "$after")")
[ -z "$before" ] || binaries=("before=$(realpath "$before")" "${binaries[@]}")

work=$(mktemp -d "${TMPDIR:-/tmp}/convert-scale.XXXXXX")
. "$(dirname "$0")/fresh_output.sh"
trap 'drop_output; rm -rf "$work"' EXIT

seconds_of() { /usr/bin/time -f '%e' -o "$work/time" "$@" >/dev/null 2>&1; cat "$work/time"; }

printf '%-9s %-5s %-7s %9s %9s %9s %9s %7s %9s %9s\n' features format convert \
  "wall s" "peak MB" "cat s" "write s" ratio "us/feat" "KB/feat"
for size in "${sizes[@]}"; do
  scene=$scenes/json-$size/city.json
  [ -f "$scene" ] || { echo "$scene: no such scene"; exit 1; }
  folder=$(dirname "$scene")
  cat_scene() { find "$folder" -type f -print0 | xargs -0 cat >/dev/null; }
  cat_scene
  cat_seconds=$(seconds_of bash -c "find '$folder' -type f -print0 | xargs -0 cat >/dev/null")
  for format in $formats; do
    for entry in "${binaries[@]}"; do
      label=${entry%%=*} program=${entry#*=}
      fresh_output
      # Runs that may pass 3 GB wait for the lock before their clock starts.
      lock=()
      [ "$size" -lt 1000000 ] || lock=(flock /tmp/bigmem.lock)
      measure_locked=("${lock[@]}" /usr/bin/time -f '%e %M' -o "$work/time")
      "${measure_locked[@]}" "$program" --scene "$scene" --output "$output/out/city.$format" \
        >/dev/null 2>"$work/err" || { cat "$work/err"; exit 1; }
      read -r wall peak <"$work/time"
      peak=$((peak / 1024))
      write_seconds=$(seconds_of cp -r "$output/out" "$output/copy")
      awk -v n="$size" -v f="$format" -v l="$label" -v w="$wall" -v p="$peak" \
        -v c="$cat_seconds" -v s="$write_seconds" 'BEGIN {
          printf "%-9d %-5s %-7s %9.2f %9d %9.2f %9.2f %7.2f %9.1f %9.2f\n",
            n, f, l, w, p, c, s, w / (c + s), w / n * 1e6, p * 1024 / n }'
      drop_output
      [ -n "$loop" ] || [ "$(id -u)" -eq 0 ] || rm -rf "$output"
    done
  done
done
