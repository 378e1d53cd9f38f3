#!/usr/bin/env bash
# After scripts/build-windows.sh --gui: the Windows launcher and viewer under
# wine on a virtual X display (Xvfb).
#
#   1. Mapsmith.exe starts from a folder of its own and writes
#      config/config.ini with Count=100;
#   2. started again with the generator's folders set in that file, its
#      开始 button is clicked through the real window (xdotool): the run must
#      write the sample town's scene; a screenshot of the window is taken;
#   3. view.exe --screenshot renders that scene.
#
# The screenshots land in build-win/gui-check/ (mapsmith.png, view.png).
# Look at them: the script checks the files, not what they show.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
for exe in Mapsmith view; do
  [ -f "build-win/bin/$exe.exe" ] || {
    echo "check-windows-gui: build-win/bin/$exe.exe missing (run scripts/build-windows.sh --gui)" >&2
    exit 1
  }
done
[ -d build/assets/tree_models ] || { echo "check-windows-gui: build/assets missing (run scripts/setup.sh)" >&2; exit 1; }

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
for p in wine wine64 xvfb xauth xdotool imagemagick; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  as_root apt-get update
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y --no-install-recommends "${missing[@]}"
fi

work=$root/build-win/gui-check
app="$work/启动器 app"
town="$work/样本 town"
rm -rf "$work"
mkdir -p "$app" "$town" "$work/输出"
cp build-win/bin/Mapsmith.exe "$app/"
cp samples/town/*.geojson "$town/"

export WINEDEBUG=-all WINEPREFIX=$root/build-win/wineprefix
export WINEDLLOVERRIDES="mscoree,mshtml="
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1600x900x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
xvfb=$!
export DISPLAY=$display
cleanup() {
  wineserver -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
sleep 1
wine wineboot --init > "$work/wineboot.log" 2>&1 || true

failures=0
pass() { echo "check-windows-gui: PASS $1"; }
fail() { echo "check-windows-gui: FAIL $1" >&2; failures=$((failures + 1)); }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 2))); do
    "$@" && return 0
    sleep 0.5
  done
  return 1
}
window_id() { xdotool search --onlyvisible --name 'Mapsmith' 2>/dev/null | head -n 1; }
has_window() { [ -n "$(window_id)" ]; }
shot() { import -window root "$1"; }

# 1. The first start writes the configuration.
wine "$app/Mapsmith.exe" > "$work/mapsmith-1.log" 2>&1 &
if wait_for 60 grep -qs '^Count=100' "$app/config/config.ini"; then
  pass "the first start writes config/config.ini with Count=100"
else
  fail "no config/config.ini with Count=100 after the first start"
fi
wait_for 60 has_window || fail "no Mapsmith window appeared"
wineserver -k 2>/dev/null || true
sleep 1

# 2. The generator panel, started by its button.
town_w=$(wine winepath -w "$town" 2>/dev/null | tr -d '\r' | tr '\\' '/')
out_w=$(wine winepath -w "$work/输出" 2>/dev/null | tr -d '\r' | tr '\\' '/')/city.json
# The launcher completes the other keys; its file has Windows line ends.
printf '[Config]\r\nCount=100\r\n\r\n[GenerateCity]\r\nInput=%s\r\nOutput=%s\r\n' \
  "$town_w" "$out_w" > "$app/config/config.ini"
wine "$app/Mapsmith.exe" > "$work/mapsmith-2.log" 2>&1 &
if wait_for 60 has_window; then
  id=$(window_id)
  sleep 3
  xdotool windowmove "$id" 0 0 windowsize "$id" 1580 820 || true
  sleep 2
  shot "$work/mapsmith-before.png"
  # The 开始 button, at the bottom right of the generator panel, which
  # fills the window on a first start.
  eval "$(xdotool getwindowgeometry --shell "$id")"
  xdotool mousemove --window "$id" $((WIDTH - 161)) $((HEIGHT - 93)) click 1
  if wait_for 120 test -s "$work/输出/city.json"; then
    sleep 3
    pass "the generator panel's run writes $out_w"
  else
    fail "the generator panel's run wrote no scene ($work/输出)"
  fi
  shot "$work/mapsmith.png"
else
  fail "no Mapsmith window on the second start"
fi
wineserver -k 2>/dev/null || true
sleep 1

# 3. The viewer's screenshot of the scene.
scene=$work/输出/city.json
if [ ! -s "$scene" ]; then
  # The launcher's run failed: the viewer still gets a scene.
  cp -r build/assets/buildings_texture build/assets/tree_models "$town/"
  wine build-win/bin/blockgen.exe -o "$scene" "$town" > "$work/blockgen.log" 2>&1 || true
fi
if wine build-win/bin/view.exe --scene "$scene" --screenshot "$work/view.png" > "$work/view.log" 2>&1 &&
   [ -s "$work/view.png" ]; then
  pass "view.exe --screenshot writes $work/view.png"
else
  fail "view.exe --screenshot failed: $(tail -n 1 "$work/view.log")"
fi

# Both viewers draw through the same Mesa here: the images should match.
if [ -x build/bin/view ] && [ -s "$work/view.png" ]; then
  build/bin/view --scene "$scene" --screenshot "$work/view-linux.png" > "$work/view-linux.log" 2>&1 || true
  if cmp -s "$work/view.png" "$work/view-linux.png"; then
    echo "check-windows-gui: view.png is byte for byte the Linux viewer's screenshot"
  else
    echo "check-windows-gui: note: view.png differs from the Linux viewer's ($work/view-linux.png)"
  fi
fi

echo "check-windows-gui: $failures failed; screenshots in $work"
[ "$failures" -eq 0 ]
