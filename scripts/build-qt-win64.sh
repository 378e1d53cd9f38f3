#!/usr/bin/env bash
# Builds a static Qt 5 for 64-bit Windows from Debian's source packages into
# .deps/qt5-win64/: qtbase (Core, Gui, Widgets, OpenGL, the qwindows platform
# plugin) and qtsvg (the style's images). Done once: a later run with the
# libraries already installed does nothing. scripts/build-windows.sh --gui
# calls it; it can run alone (it takes the better part of half an hour on two
# cores, so start it early):
#
#   nohup nice -n 19 bash scripts/build-qt-win64.sh > qt-win64.log 2>&1 &
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
prefix=$root/.deps/qt5-win64
src=$root/.deps/src-win64
work=$root/.deps/build-win64
jobs=${BUILD_JOBS:-$(nproc)}

if [ -f "$prefix/lib/libQt5Widgets.a" ] && [ -f "$prefix/lib/libQt5Svg.a" ] &&
   [ -f "$prefix/plugins/platforms/libqwindows.a" ]; then
  echo "qt-win64: already built in $prefix"
  exit 0
fi

. scripts/win64-toolchain.sh

# Unpacks Debian's source package NAME (with its patches) under $src once
# and prints the folder.
fetch_source() {
  local name=$1 dir
  mkdir -p "$src"
  dir=$(find "$src" -maxdepth 1 -mindepth 1 -type d -name "$2" | head -n 1)
  if [ -z "$dir" ]; then
    (cd "$src" && apt-get source "$name" >&2)
    dir=$(find "$src" -maxdepth 1 -mindepth 1 -type d -name "$2" | head -n 1)
  fi
  [ -n "$dir" ] || { echo "qt-win64: no source folder for $name" >&2; exit 1; }
  echo "$dir"
}

start=$(date +%s)
qtbase=$(fetch_source qtbase-opensource-src 'qtbase-opensource-src-5.15*')
qtsvg=$(fetch_source qtsvg-opensource-src 'qtsvg-opensource-src-5.15*')

if [ ! -f "$prefix/lib/libQt5Widgets.a" ]; then
  mkdir -p "$work/qtbase"
  cd "$work/qtbase"
  if [ ! -f Makefile ]; then
    # Debian's source lacks wintab.h and the bundled SQLite, so tablet input and
    # the SQLite driver are off. Every flag is
    # given here: changing the configuration later rebuilds most of Qt.
    "$qtbase/configure" -prefix "$prefix" \
      -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
      -static -static-runtime -release -opensource -confirm-license \
      -nomake examples -nomake tests -opengl desktop -no-dbus \
      -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz -qt-pcre \
      -no-icu -no-feature-tabletevent -no-sql-sqlite
    echo "qt-win64: qtbase configured after $(( $(date +%s) - start )) s"
  fi
  make -j"$jobs"
  make install
  echo "qt-win64: qtbase installed after $(( $(date +%s) - start )) s"
fi

mkdir -p "$work/qtsvg"
cd "$work/qtsvg"
"$prefix/bin/qmake" "$qtsvg"
make -j"$jobs"
make install
echo "qt-win64: qtsvg installed; Qt took $(( $(date +%s) - start )) s in all"
