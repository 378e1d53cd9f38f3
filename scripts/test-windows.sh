#!/usr/bin/env bash
# Cross-builds blockgen.exe and convert.exe (scripts/build-windows.sh) and runs
# them under wine against the Linux programs of build/bin: every output must be
# byte for byte the same. scripts/run-tests.sh runs it; any difference fails it.
#
#   - the sample town into a folder whose name has a space and Chinese
#     characters: the scene file, every shape and texture, standard output;
#     again into the same folder (every file replaced in place);
#   - convert.exe to .glb, .obj (with its .mtl) and .stl;
#   - bad inputs: the same error line and exit status 1;
#   - paths given with backslashes, relative and absolute (Z:\...).
#
# Progress lines carry the elapsed time: those digits are masked before
# standard output is compared.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

bash scripts/build-windows.sh
[ -x build/bin/blockgen ] && [ -x build/bin/convert ] && [ -d build/assets/tree_models ] || {
  echo "test-windows: build/bin/blockgen, build/bin/convert or build/assets missing (run scripts/setup.sh)" >&2
  exit 1
}

export WINEDEBUG=-all WINEPREFIX=$PWD/build-win/wineprefix
export WINEDLLOVERRIDES="mscoree,mshtml="
work=build-win/wine-tests
rm -rf "$work"
mkdir -p "$work"
# The first start makes the prefix; its messages must not reach a compared
# output. The server stays up for the runs below and is ended at the end.
wine wineboot --init > "$work/wineboot.log" 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT

failures=0
pass() { echo "test-windows: PASS $1"; }
fail() { echo "test-windows: FAIL $1" >&2; failures=$((failures + 1)); }

# blockgen also prints the seconds the city took, on the line after "Time".
mask_times() {
  sed -E -e 's/[0-9]{2}:[0-9]{2}\.[0-9]{3}/mm:ss.mmm/g' -e '/Time$/{n;s/^[0-9.e+-]+$/seconds/}' "$1"
}
# convert loads the shapes on several threads, so which counts its progress
# shows varies from run to run on any platform: its output is compared as
# the sequence of tasks (message and total) and every other line.
progress_tasks() {
  mask_times "$1" | tr '\r' '\n' | grep . | awk '
    /^\[[= ]*\] +[0-9]+\/ *[0-9]+ / {
      task = $0; sub(/^[^]]*\] +[0-9]+\//, "", task)
      if (task != last) print "progress:" task; last = task; next }
    { print; last = "" }'
}
same_tasks() {
  if diff <(progress_tasks "$1") <(progress_tasks "$2") > "$work/diff.txt"; then return 0; fi
  head -n 6 "$work/diff.txt" >&2
  return 1
}
# Two files equal after masking the times; the first difference is shown.
same_output() {
  if diff <(mask_times "$1") <(mask_times "$2") > "$work/diff.txt"; then return 0; fi
  head -n 6 "$work/diff.txt" | cat -A >&2
  return 1
}
# Two folders with the same files, byte for byte, and no temporary left.
same_tree() {
  local count
  count=$(find "$1" -type f | wc -l)
  [ "$count" -gt 0 ] || { echo "  $1 is empty" >&2; return 1; }
  if ! diff -r "$1" "$2" > "$work/diff.txt" 2>&1; then
    head -n 6 "$work/diff.txt" >&2
    return 1
  fi
  if find "$1" -name '.tmp-*' | grep -q .; then echo "  temporaries left in $1" >&2; return 1; fi
}
# Runs a Linux program and its Windows build with the given arguments (the
# same text, forward slashes) into $work/NAME.{linux,win}.{out,err,rc}.
both() {
  local name=$1 program=$2
  shift 2
  set +e
  "build/bin/$program" "$@" > "$work/$name.linux.out" 2> "$work/$name.linux.err"
  echo $? > "$work/$name.linux.rc"
  wine "build-win/bin/$program.exe" "$@" > "$work/$name.win.out" 2> "$work/$name.win.err"
  echo $? > "$work/$name.win.rc"
  set -e
}
same_run() {
  local name=$1 rc=$2
  same_output "$work/$name.win.out" "$work/$name.linux.out" &&
    cmp -s "$work/$name.win.err" "$work/$name.linux.err" &&
    [ "$(cat "$work/$name.win.rc")" = "$rc" ] && [ "$(cat "$work/$name.linux.rc")" = "$rc" ]
}

# The sample town, as scripts/run-sample.sh assembles it.
town="$work/样本 town"
mkdir -p "$town"
cp samples/town/*.geojson "$town/"
cp -r build/assets/buildings_texture build/assets/tree_models "$town/"

# 1. blockgen: the scene, its shapes and textures, standard output.
mkdir -p "$work/linux" "$work/城市 输出"
build/bin/blockgen --info true -o "$work/linux/city.json" "$town" > "$work/town.linux.out"
wine build-win/bin/blockgen.exe --info true -o "$work/城市 输出/city.json" "$town" \
  > "$work/town.win.out" 2> "$work/town.win.err" || true
if same_tree "$work/城市 输出" "$work/linux" && same_output "$work/town.win.out" "$work/town.linux.out" &&
   [ ! -s "$work/town.win.err" ]; then
  pass "blockgen.exe writes the sample town's scene, shapes, textures and output as Linux does"
else
  fail "blockgen.exe: the sample town differs from the Linux build's ($work)"
fi
# Again into the same folder: every file already there is replaced.
wine build-win/bin/blockgen.exe --info true -o "$work/城市 输出/city.json" "$town" \
  > "$work/again.win.out" 2>&1 || true
if same_tree "$work/城市 输出" "$work/linux" && same_output "$work/again.win.out" "$work/town.linux.out"; then
  pass "blockgen.exe replaces an earlier scene in place"
else
  fail "blockgen.exe: a second run into the same folder differs"
fi

# 2. convert: .glb, .obj (with its .mtl) and .stl, whose triangle count is
# written last, over the header's placeholder.
for format in glb obj stl; do
  mkdir -p "$work/linux-$format" "$work/转换 $format"
  both "convert-$format" convert -s "$work/linux/city.json" -o "$work/linux-$format/city.$format"
  # The Windows run reads the Windows scene and writes beside it.
  wine build-win/bin/convert.exe -s "$work/城市 输出/city.json" -o "$work/转换 $format/city.$format" \
    > "$work/convert-$format.win.out" 2> "$work/convert-$format.win.err" || true
  # What convert says of the output names it; the two outputs lie in
  # folders of their own.
  sed "s|$work/转换 $format/|OUT/|g" "$work/convert-$format.win.out" > "$work/convert-$format.win.named"
  sed "s|$work/linux-$format/|OUT/|g" "$work/convert-$format.linux.out" > "$work/convert-$format.linux.named"
  if same_tree "$work/转换 $format" "$work/linux-$format" &&
     same_tasks "$work/convert-$format.win.named" "$work/convert-$format.linux.named" &&
     [ ! -s "$work/convert-$format.win.err" ]; then
    pass "convert.exe writes the same .$format as Linux"
  else
    fail "convert.exe: the .$format differs from the Linux build's"
  fi
done

# 3. Bad inputs: the same one error line, exit status 1.
mkdir -p "$work/broken town"
printf '{"type": "FeatureCollection", "features": [{"type": "Feature", "geometry": ' \
  > "$work/broken town/buildings.geojson"
printf '{"shapes": [{"name": 3' > "$work/bad scene.json"
mkdir -p "$work/folder out/city.json"
cases=(
  "missing-folder|blockgen|-o|$work/bad-out/city.json|$work/没有 folder"
  "broken-geojson|blockgen|-o|$work/bad-out/city.json|$work/broken town"
  "broken-scene|convert|-s|$work/bad scene.json|-o|$work/bad-out/city.glb"
  "missing-scene|convert|-s|$work/没有.json|-o|$work/bad-out/city.obj"
  "unknown-format|convert|-s|$work/linux/city.json|-o|$work/bad-out/city.xyz"
  "folder-at-output|blockgen|-o|$work/folder out/city.json|$town"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r -a words <<< "$entry"
  both "${words[@]}"
  if same_run "${words[0]}" 1 && [ ! -e "$work/bad-out/city.json" ]; then
    pass "${words[0]}: the same error and exit status 1 ($(cat "$work/${words[0]}.linux."{out,err} | tr '\r' '\n' | grep . | tail -n 1))"
  else
    fail "${words[0]}: the Windows program answers differently"
    for f in "$work/${words[0]}".*; do echo "  $f: $(tr '\r' '\n' < "$f" | grep . | tail -n 1)" >&2; done
  fi
done

# 4. Backslashes: relative, and absolute as Windows names them (Z:\...).
relative=$(echo "$town" | tr '/' '\\')
absolute=$(wine winepath -w "$PWD/$town" 2>/dev/null | tr -d '\r')
for kind in relative absolute; do
  input=$relative
  [ "$kind" = absolute ] && input=$absolute
  output="$work\\反斜杠 $kind\\city.json"
  output=${output//\//\\}
  wine build-win/bin/blockgen.exe --info true -o "$output" "$input" > "$work/back-$kind.win.out" 2>&1 || true
  if same_tree "$work/反斜杠 $kind" "$work/linux" && same_output "$work/back-$kind.win.out" "$work/town.linux.out"; then
    pass "blockgen.exe reads and writes $kind paths given with backslashes ($input)"
  else
    fail "blockgen.exe: $kind paths with backslashes ($input) give a different scene"
  fi
done

output="$work/转换 back/city.glb"
wine build-win/bin/convert.exe -s "${relative%\\*}\\城市 输出\\city.json" -o "${output//\//\\}" \
  > "$work/back-convert.win.out" 2>&1 || true
if same_tree "$work/转换 back" "$work/linux-glb"; then
  pass "convert.exe reads and writes paths given with backslashes"
else
  fail "convert.exe: paths with backslashes give a different .glb"
fi

echo "test-windows: $failures failed; build and tests took $((SECONDS - start)) s"
[ "$failures" -eq 0 ]
