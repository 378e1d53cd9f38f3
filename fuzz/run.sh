#!/usr/bin/env bash
# Builds the sanitizer and fuzz build in build-asan/, and fuzzes with it.
#
#   fuzz/run.sh build                  configure and build build-asan/
#   fuzz/run.sh NAME SECONDS [OPTION...] fuzz fuzz_NAME for SECONDS
#   fuzz/run.sh all SECONDS            every target, one after another
#
# A target starts from its seeds (fuzz/corpus/NAME) and its findings
# (fuzz/regressions/NAME) with its dictionary (fuzz/dict/NAME.dict). What it
# learns goes to build-asan/fuzz/corpus/NAME, which later runs continue
# from; inputs that crash, hang (10 s), leak or need more than 2 GB go to
# build-asan/fuzz/findings/. Extra OPTIONs go to libFuzzer (-jobs=2, ...).
# Each run ends with one line: executions, coverage, corpus and findings.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-asan

configure_and_build() {
  if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
      -DBLOCKGEN_SANITIZE=ON -DBLOCKGEN_FUZZ=ON >/dev/null
  fi
  cmake --build "$build" -j"${BUILD_JOBS:-$(nproc)}" "$@"
}

fuzz_one() {
  local name=$1 seconds=$2
  shift 2
  local target=$build/fuzz/fuzz_$name work=$build/fuzz/corpus/$name
  local findings=$build/fuzz/findings log=$build/fuzz/logs/$name.log
  # A round-trip target starts from its reader's seeds and dictionary.
  local seeds=${name%_round_trip}
  [ -x "$target" ] || { echo "no fuzz target $name in $build/fuzz" >&2; exit 1; }
  mkdir -p "$work" "$findings" "$(dirname "$log")"
  local args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=1
              -print_final_stats=1 -artifact_prefix="$findings/$name-")
  [ -f "fuzz/dict/$seeds.dict" ] && args+=(-dict="fuzz/dict/$seeds.dict")
  local inputs=("$work")
  for folder in fuzz/corpus/$seeds fuzz/regressions/$seeds; do
    [ -d "$folder" ] && inputs+=("$folder")
  done
  local before
  before=$(ls "$findings" | grep -c "^$name-" || true)
  # libFuzzer stops at its first finding; the script goes on to the next
  # target and reports it.
  "$target" "${args[@]}" "$@" "${inputs[@]}" >"$log" 2>&1 || true
  local runs cov corpus after
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{s += $2} END {print s + 0}')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | awk '{print $2}')
  corpus=$(ls "$work" | wc -l)
  after=$(ls "$findings" | grep -c "^$name-" || true)
  printf '%-8s %12s executions  cov %-6s corpus %-6s new findings %s\n' \
    "$name" "$runs" "${cov:-?}" "$corpus" "$((after - before))"
}

case "${1:-}" in
  build) shift; configure_and_build "$@" ;;
  all)
    [ $# -ge 2 ] || { echo "usage: fuzz/run.sh all SECONDS" >&2; exit 2; }
    for target in "$build"/fuzz/fuzz_*; do
      name=${target##*/fuzz_}
      [ "$name" = make_seeds ] || fuzz_one "$name" "${@:2}"
    done ;;
  ""|-h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  *)
    [ $# -ge 2 ] || { echo "usage: fuzz/run.sh NAME SECONDS [OPTION...]" >&2; exit 2; }
    fuzz_one "$@" ;;
esac
