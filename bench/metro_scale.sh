#!/usr/bin/env bash
# The three programs from a small city to a metropolis, per feature: blockgen
# to a JSON scene and to .glb, convert of the JSON scene to .glb, and view of
# the .glb (load, prepare and 5 frames at 1280 x 720, framing view). Prints
# for each run the wall time, the processor time (user + system), the peak
# resident size, and the processor time and memory per feature beyond those
# of the smallest size: what a feature adds, its fixed start (the façade
# images, the program's own) set apart. The last table says how far each
# program's per-feature figures stray from their median over the sizes.
#
#   bench/metro_scale.sh [-c OLD] [-p PROGRAMS] [-i INPUTS] [-s SCENES] [SIZE...]
#
# SIZE is a number of features (default 10000 100000 300000 1000000); the
# first is the base the per-feature figures are counted from. The inputs
# are the synthetic city at constant density (`bench_geojson spread`: the
# map grows with the size), made here unless -i names a folder holding
# input-SIZE for each. OLD is a folder with an older build's blockgen,
# convert and view, run beside build/bin's. PROGRAMS is a list of
# "blockgen convert view" (default all). convert and view take the scenes
# this run's blockgen wrote, or with -s the ready-made SCENES/json-SIZE and
# SCENES/glb-SIZE. Each size's outputs go to a file system (as root) or
# folder never used before; runs of 3·10^5 features or more hold
# /tmp/bigmem.lock. Run from the project root after a build.
set -euo pipefail

old=""
programs="blockgen convert view"
inputs=""
scenes=""
while getopts "c:p:i:s:" option; do
  case $option in
    c) old=$OPTARG ;;
    p) programs=$OPTARG ;;
    i) inputs=$OPTARG ;;
    s) scenes=$OPTARG ;;
    *) sed -n '2,/^set/p' "$0" | sed 's/^# \{0,1\}//;/^set/d'; exit 1 ;;
  esac
done
shift $((OPTIND - 1))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 100000 300000 1000000)
builds=("new=$(realpath build/bin)")
[ -z "$old" ] || builds=("old=$(realpath "$old")" "${builds[@]}")
has() { case " $programs " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }

work=$(mktemp -d "${TMPDIR:-/tmp}/metro-scale.XXXXXX")
. "$(dirname "$0")/fresh_output.sh"
trap 'drop_output; rm -rf "$work"' EXIT
results=$work/results
: >"$results"

input_of() {
  local size=$1
  if [ -n "$inputs" ]; then echo "$inputs/input-$size"; return; fi
  local folder=$work/input-$size
  if [ ! -d "$folder" ]; then
    build/bench/bench_geojson spread "$size" 10 "$folder" >/dev/null
    cp -r build/assets/buildings_texture build/assets/tree_models "$folder/"
  fi
  echo "$folder"
}

# run SIZE BUILD ROW COMMAND...: one timed run, its figures appended to the
# results as "row build size wall cpu peak_mb".
run() {
  local size=$1 build=$2 row=$3
  shift 3
  local lock=()
  [ "$size" -lt 300000 ] || lock=(flock /tmp/bigmem.lock)
  if ! "${lock[@]}" /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >"$work/out" 2>&1; then
    echo "$row ($build, $size): failed"; tail -3 "$work/out"; exit 1
  fi
  read -r wall user system peak <"$work/time"
  echo "$row $build $size $wall $(echo "$user + $system" | bc) $((peak / 1024))" >>"$results"
  printf '%-14s %-4s %9d %9.2f %9.2f %9d\n' "$row" "$build" "$size" "$wall" \
    "$(echo "$user + $system" | bc)" $((peak / 1024))
}

printf '%-14s %-4s %9s %9s %9s %9s\n' run build features "wall s" "cpu s" "peak MB"
for size in "${sizes[@]}"; do
  input=$(input_of "$size")
  for entry in "${builds[@]}"; do
    build=${entry%%=*} bin=${entry#*=}
    fresh_output
    json=$output/json/city.json glb=$output/glb/city.glb
    if has blockgen || [ -z "$scenes" ]; then
      run "$size" "$build" blockgen-json "$bin/blockgen" -o "$json" "$input"
      run "$size" "$build" blockgen-glb "$bin/blockgen" -o "$glb" "$input"
    fi
    if [ -n "$scenes" ]; then json=$scenes/json-$size/city.json glb=$scenes/glb-$size/city.glb; fi
    if has convert; then
      run "$size" "$build" convert-glb "$bin/convert" --scene "$json" --output "$output/convert/city.glb"
    fi
    if has view; then
      run "$size" "$build" view-glb xvfb-run -a -s "-screen 0 1280x720x24" \
        "$bin/view" -s "$glb" --frame true --benchmark 5
    fi
    drop_output
  done
done

# Per feature beyond the base size, and how far each program strays: half
# the range of its per-feature figures over their middle.
echo
printf '%-14s %-4s %9s %11s %11s\n' run build features "cpu us/feat" "KB/feat"
awk -v base="${sizes[0]}" '
  { cpu[$1 " " $2, $3] = $5; peak[$1 " " $2, $3] = $6; runs[$1 " " $2 " " $3] = 1 }
  END {
    for (run in runs) {
      split(run, part, " "); key = part[1] " " part[2]; s = part[3]
      if (s + 0 == base + 0 || !((key, base) in cpu)) continue
      printf "%-14s %-4s %9d %11.1f %11.2f\n", part[1], part[2], s,
        (cpu[key, s] - cpu[key, base]) / (s - base) * 1e6,
        (peak[key, s] - peak[key, base]) * 1024 / (s - base)
    }
  }' "$results" | sort -k1,1 -k2,2r -k3,3n | tee "$work/per_feature"
echo
awk '
  { key = $1 " " $2; n[key]++
    if (n[key] == 1 || $4 < lo_c[key]) lo_c[key] = $4; if (n[key] == 1 || $4 > hi_c[key]) hi_c[key] = $4
    if (n[key] == 1 || $5 < lo_m[key]) lo_m[key] = $5; if (n[key] == 1 || $5 > hi_m[key]) hi_m[key] = $5 }
  END {
    for (key in n) {
      split(key, part, " ")
      mc = (lo_c[key] + hi_c[key]) / 2; mm = (lo_m[key] + hi_m[key]) / 2
      printf "%-14s %-4s cpu/feature %6.1f .. %6.1f us (+-%3.0f %%), memory/feature %5.2f .. %5.2f KB (+-%3.0f %%)\n",
        part[1], part[2], lo_c[key], hi_c[key], (mc > 0 ? 100 * (hi_c[key] - mc) / mc : 0),
        lo_m[key], hi_m[key], (mm > 0 ? 100 * (hi_m[key] - mm) / mm : 0)
    }
  }' "$work/per_feature" | sort -k1,1 -k2,2r
