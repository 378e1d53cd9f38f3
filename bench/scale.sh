#!/usr/bin/env bash
# Whole blockgen runs at city scale, side by side with the floor: what any
# program that writes the same output from the same input cannot avoid.
#
#   bench/scale.sh [-b BLOCKGEN] [-r RUNS] [-w WORKDIR] [INPUT...]
#   bench/scale.sh -f FORMATS [-c BEFORE] [-i INPUTS] [-b BLOCKGEN] [-r RUNS] [-w WORKDIR] [INPUT...]
#
# With -f (a list such as "json glb gltf") the table is another: for each
# input, format and program (BLOCKGEN, and BEFORE with -c, such as an older
# build), the median wall time and peak memory of `blockgen -o OUT/city.EXT
# INPUT`, each run into an output folder never used before. -i takes the
# inputs ready-made from INPUTS/input-N (as bench_geojson writes them, with
# the assets inside) instead of making them. Runs of 3·10^5 features or more
# hold /tmp/bigmem.lock, so that no two runs that may need gigabytes overlap.
#
# INPUT is a number of synthetic features (the reader benchmark's input in
# ten files, `bench_geojson write`) or "tiled" (the real extract
# ../shared/osm/gwangju-acc as a 6 x 6 grid of tiles, `bench_scale tile`:
# each tile moved by its map's extent plus 2 % and given ids of its own).
# Default: 10000 100000 300000 tiled, three runs each (-r). The 10^6 run:
# bench/scale.sh -r 1 1000000.
#
# Each run times in turn
#   blockgen   blockgen -o OUT/city.json INPUT (wall, peak resident size,
#              files written)
#   floor      cat of the input files + a no-op parse of them with the JSON
#              library's event interface (bench_scale parse) + cp -r of
#              blockgen's output folder to a new folder
# at raised priority (nice -n -10), so that low-priority jobs on the machine
# disturb them less. As root, the output of each run goes to a fresh ext4
# file system (a sparse image in the work folder on a loop device with
# direct I/O) that is dropped afterwards: every run starts from the same
# empty file system, and no run pays for removing hundreds of thousands of
# files of the last one, which takes minutes on a disk that discards freed
# blocks. Otherwise the output goes to the work folder and is removed
# between runs. The table shows the median of the runs (wall and floor
# each), the ratio of the two medians, the wall time per feature, and
# blockgen's processor time per feature split into its own (user) and the
# kernel's (sys): the part that grows with the file count is the kernel's.
# Run from the project root after a build.
set -euo pipefail

blockgen=build/bin/blockgen
runs=3
work=""
formats=""
before=""
ready=""
while getopts "b:c:f:i:r:w:" option; do
  case $option in
    b) blockgen=$OPTARG ;;
    c) before=$OPTARG ;;
    f) formats=$OPTARG ;;
    i) ready=$OPTARG ;;
    r) runs=$OPTARG ;;
    w) work=$OPTARG ;;
    *) sed -n '2,/^set/p' "$0" | sed 's/^# \{0,1\}//;/^set/d'; exit 1 ;;
  esac
done
shift $((OPTIND - 1))
inputs=("$@")
[ ${#inputs[@]} -gt 0 ] || inputs=(10000 100000 300000 tiled)
blockgen=$(realpath "$blockgen")
extract=../shared/osm/gwangju-acc

made_work=""
if [ -z "$work" ]; then work=$(mktemp -d); made_work=1; fi
mkdir -p "$work"
trap 'drop_output; rm -rf "$work/input-"*; [ -z "$made_work" ] || rm -rf "$work"' EXIT
priority=()
if [ "$(id -u)" -eq 0 ]; then priority=(nice -n -10); fi

now() { date +%s%N; }
seconds() { awk -v ns="$1" 'BEGIN { printf "%.2f", ns / 1e9 }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
. "$(dirname "$0")/fresh_output.sh"

make_input() {
  local input=$1 folder=$2
  rm -rf "$folder"
  if [ "$input" = tiled ]; then
    build/bench/bench_scale tile "$extract" 6 "$folder"
  else
    build/bench/bench_geojson write "$input" 10 "$folder"
    echo "$input"
  fi
  cp -r build/assets/buildings_texture build/assets/tree_models "$folder/"
}

if [ -n "$formats" ]; then
  programs=("$blockgen")
  [ -z "$before" ] || programs=("$(realpath "$before")" "$blockgen")
  echo "load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
  printf '| %-8s | %-6s | %-40s | %9s | %9s | %-24s |\n' Input Format Program Wall "Peak MB" "wall runs"
  printf '|%s|\n' "----------|--------|------------------------------------------|-----------|-----------|--------------------------"
  for input in "${inputs[@]}"; do
    if [ -n "$ready" ]; then
      folder=$ready/input-$input
    else
      folder="$work/input-$input"
      make_input "$input" "$folder" >/dev/null
    fi
    lock=""
    if [ "$input" != tiled ] && [ "$input" -ge 300000 ]; then lock=1; fi
    for ext in $formats; do
      for program in "${programs[@]}"; do
        walls=() peaks=()
        for ((run = 0; run < runs; run++)); do
          fresh_output
          sync
          # The wait for the lock is not timed.
          if [ -n "$lock" ]; then exec 9>/tmp/bigmem.lock; flock 9; fi
          start=$(now)
          "${priority[@]}" /usr/bin/time -f '%M' -o "$work/peak" \
            "$program" -o "$output/out-$run/city.$ext" "$folder" >"$work/stdout"
          walls+=($(( $(now) - start )))
          if [ -n "$lock" ]; then flock -u 9; exec 9>&-; fi
          peaks+=("$(tail -n 1 "$work/peak")")
        done
        drop_output
        wall=$(median "${walls[@]}") peak=$(median "${peaks[@]}")
        runs_text=$(for w in "${walls[@]}"; do printf '%s ' "$(seconds "$w")"; done)
        printf '| %-8s | %-6s | %-40s | %8ss | %9.0f | %-24s |\n' "$input" "$ext" "$program" \
          "$(seconds "$wall")" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" "$runs_text"
      done
    done
    [ -n "$ready" ] || rm -rf "$folder"
  done
  echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
  exit 0
fi

echo "blockgen: $blockgen"
echo "load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '| %-8s | %9s | %8s | %8s | %9s | %8s | %6s | %8s | %8s | %8s | %-16s |\n' Input Features Wall \
  "Peak MB" "Files" Floor "Ratio" "us/feat" "user/ft" "sys/ft" "wall runs"
printf '|%s|\n' "----------|-----------|----------|----------|-----------|----------|--------|----------|----------|----------|------------------"
for input in "${inputs[@]}"; do
  folder="$work/input-$input"
  features=$(make_input "$input" "$folder" | tail -n 1)
  walls=() floors=() peaks=() users=() systems=() files=0
  for ((run = 0; run < runs; run++)); do
    fresh_output
    sync
    start=$(now)
    "${priority[@]}" /usr/bin/time -f '%M %U %S' -o "$work/peak" \
      "$blockgen" -o "$output/out/city.json" "$folder" >"$work/stdout"
    walls+=($(( $(now) - start )))
    read -r peak user system < <(tail -n 1 "$work/peak")
    peaks+=("$peak") users+=("$user") systems+=("$system")
    files=$(find "$output/out" -type f | wc -l)
    sync
    start=$(now)
    "${priority[@]}" cat "$folder"/*.geojson >/dev/null
    "${priority[@]}" build/bench/bench_scale parse "$folder"/*.geojson
    "${priority[@]}" cp -r "$output/out" "$output/copy"
    floors+=($(( $(now) - start )))
  done
  drop_output
  wall=$(median "${walls[@]}") floor=$(median "${floors[@]}") peak=$(median "${peaks[@]}")
  user=$(median "${users[@]}") system=$(median "${systems[@]}")
  runs_text=$(for w in "${walls[@]}"; do printf '%s ' "$(seconds "$w")"; done)
  printf '| %-8s | %9s | %7ss | %8.0f | %9s | %7ss | %6.2f | %8.1f | %8.1f | %8.1f | %-16s |\n' "$input" "$features" \
    "$(seconds "$wall")" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" "$files" "$(seconds "$floor")" \
    "$(awk -v w="$wall" -v f="$floor" 'BEGIN { print w / f }')" \
    "$(awk -v w="$wall" -v n="$features" 'BEGIN { print w / 1e3 / n }')" \
    "$(awk -v t="$user" -v n="$features" 'BEGIN { print t * 1e6 / n }')" \
    "$(awk -v t="$system" -v n="$features" 'BEGIN { print t * 1e6 / n }')" "$runs_text"
  rm -rf "$folder"
done
echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
